// The exception of a failed OLE DB or COM call, with the provider's own error text, and the
// exception of a database the login may not open.
#pragma once

#include "OLE/ole_ptr.h"
#include "TK/tk_excep.h"
#include "platform/com/error_info.h"

#include <cstdint>
#include <string>

// Level 0; code 0x80000 plus the low 16 bits of the failed call's result; the message is the
// first non-empty description among the provider's error records (see the constructor).
class odb_exception : public tk_exception {
public:
    // Source and description of one error object.
    struct error_info_dispatcher {
        explicit error_info_dispatcher(IErrorInfo* info);
        std::wstring source;
        std::wstring description;
    };

    // Built right after the call failed with `hr`, on the same thread: reads (and so clears) the
    // thread's error object. Without one the message is "Unknown exception"; with error records,
    // the first non-empty description ("Unknown exception" when no record yields an error
    // object, a generic text when all descriptions are empty); without records, the error
    // object's own description. `detailed` is only traced.
    odb_exception(HRESULT hr, bool detailed);
    // Level 0, code 0, the message in the ANSI code page.
    explicit odb_exception(const std::wstring& message);

    // The text of the calling thread's current error: the descriptions of its error records
    // joined by line breaks, SQL Server's primary-key message for a record of native error 2627
    // without a description, or a generic text.
    static std::wstring GetErrorString();
    static std::wstring extract_from_records1(IErrorRecords* records);

    // Fills message, source and native error from the records.
    void extract_from_records2(IErrorRecords* records, bool detailed);

    std::wstring source;           // the reporting component
    std::int32_t native_error = 0; // the server's error number, from the last SQL record
};

// "User '<user>' does not have permission to access database '<database>'", level 0, code 0.
class mss_no_perm_exception : public tk_exception {
public:
    mss_no_perm_exception(const std::wstring& user, const std::wstring& database);
};

// The reporting rule of every OLE DB call site: a failed `hr` is traced at level 2 as
// "Error code: %08X" and thrown as odb_exception(hr, true). The caller makes the call once and
// passes its result here.
void odb_check(HRESULT hr);
