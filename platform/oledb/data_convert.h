// The conversion library (IDataConvert): conversions among the integer, floating-point,
// boolean, text and byte types that rows carry.
#pragma once

#include "platform/oledb/oledb.h"

// Supported types: DBTYPE_I1 to DBTYPE_UI8, DBTYPE_I2, DBTYPE_I4, DBTYPE_R4, DBTYPE_R8,
// DBTYPE_BOOL, DBTYPE_STR (UTF-8), DBTYPE_WSTR (UTF-16) and DBTYPE_BYTES, in every pair.
// Numbers become text in the C locale ("." as the decimal point, no grouping; floats with the
// digits that read back to the same value); booleans are "True"/"False"; bytes are upper-case
// hexadecimal. Text becomes a number only when it is one whole number in range.
class data_convert final : public com_object<IDataConvert> {
public:
    // A NULL source (DBSTATUS_S_ISNULL) gives a NULL target. Text targets are terminated and
    // cut to `target_max_length` with DBSTATUS_S_TRUNCATED; `*target_length` is the whole
    // length in bytes without the terminator. Failures: DB_E_UNSUPPORTEDCONVERSION,
    // DB_E_CANTCONVERTVALUE, DB_E_DATAOVERFLOW, each with the matching status.
    HRESULT DataConvert(DBTYPE source_type, DBTYPE target_type, DBLENGTH source_length,
                        DBLENGTH* target_length, void* source, void* target,
                        DBLENGTH target_max_length, DBSTATUS source_status, DBSTATUS* target_status,
                        BYTE precision, BYTE scale, DBDATACONVERT flags) override;
    HRESULT CanConvert(DBTYPE source_type, DBTYPE target_type) override;
    // Bytes the target needs, terminator included for text.
    HRESULT GetConversionSize(DBTYPE source_type, DBTYPE target_type, DBLENGTH* source_length,
                              DBLENGTH* target_length, void* source) override;
};
