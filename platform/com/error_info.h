// The error object of a thread: IErrorInfo, the OLE DB error records (IErrorRecords,
// ISQLErrorInfo), SetErrorInfo/GetErrorInfo, and the error object that providers post.
#pragma once

#include "platform/com/unknown.h"

#include <optional>
#include <string>
#include <vector>

inline constexpr IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IErrorRecords = {
    0x0C733A67, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID IID_ISQLErrorInfo = {
    0x0C733A74, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

// One error: the interface and the component that raised it and a text for the user.
class IErrorInfo : public IUnknown {
public:
    using com_base = IUnknown;
    static constexpr const IID& iid() { return IID_IErrorInfo; }

    // The interface that defined the error (GUID_NULL when unknown).
    virtual HRESULT GetGUID(GUID* guid) = 0;
    // The component that raised the error, as a new BSTR for the caller to free.
    virtual HRESULT GetSource(BSTR* source) = 0;
    // The description, as a new BSTR for the caller to free (null when there is none).
    virtual HRESULT GetDescription(BSTR* description) = 0;
};

using DISPID = LONG;

// The basic information of one error record.
struct ERRORINFO {
    HRESULT hrError;
    DWORD dwMinor;
    CLSID clsid;
    IID iid;
    DISPID dispid;
};

inline constexpr HRESULT DB_E_BADRECORDNUM = make_hresult(0x80040E2E);
inline constexpr HRESULT DB_E_NOLOCALE = make_hresult(0x80040E92);

// The records of an OLE DB error object, most recent error first.
class IErrorRecords : public IUnknown {
public:
    using com_base = IUnknown;
    static constexpr const IID& iid() { return IID_IErrorRecords; }

    virtual HRESULT GetRecordCount(ULONG* records) = 0;
    // DB_E_BADRECORDNUM for a record that does not exist.
    virtual HRESULT GetBasicErrorInfo(ULONG record, ERRORINFO* info) = 0;
    // The record's custom error object (ISQLErrorInfo) as `riid`; S_OK with a null pointer when
    // the record has none, E_NOINTERFACE when it does not offer `riid`.
    virtual HRESULT GetCustomErrorObject(ULONG record, REFIID riid, IUnknown** object) = 0;
    // The record as an IErrorInfo in `locale`; fails (E_FAIL) for a record that carries no text.
    virtual HRESULT GetErrorInfo(ULONG record, LCID locale, IErrorInfo** info) = 0;
};

// The SQL view of one error record: SQLSTATE and the server's native error number.
class ISQLErrorInfo : public IUnknown {
public:
    using com_base = IUnknown;
    static constexpr const IID& iid() { return IID_ISQLErrorInfo; }

    // The SQLSTATE as a new BSTR for the caller to free, and the native error number.
    virtual HRESULT GetSQLInfo(BSTR* sqlstate, LONG* native_error) = 0;
};

// Makes `info` the calling thread's error object (with a reference of its own), releasing the
// earlier one; null clears it. `reserved` must be 0.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Hands the calling thread's error object to the caller (S_OK) and clears it; S_FALSE with a
// null pointer when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);

// One record of a provider's error: the texts are stored as such, so reading them back needs no
// message lookup.
struct com_error_record {
    HRESULT result = E_FAIL;
    CLSID clsid = GUID_NULL; // the provider's class
    IID iid = GUID_NULL;     // the interface whose method failed
    // The user text; none means the record yields no IErrorInfo (GetErrorInfo fails).
    std::optional<std::u16string> description;
    std::u16string source;
    // SQLSTATE and native error, present when the error came from a server.
    std::optional<std::u16string> sqlstate;
    LONG native_error = 0;
};

// An error object with records, as OLE DB providers post it. As an IErrorInfo it answers for
// its first record (empty texts when it has none).
class com_error_object final : public com_object<IErrorInfo, IErrorRecords> {
public:
    com_error_object() = default;
    explicit com_error_object(std::vector<com_error_record> records);

    void add(com_error_record record);

    HRESULT GetGUID(GUID* guid) override;
    HRESULT GetSource(BSTR* source) override;
    HRESULT GetDescription(BSTR* description) override;

    HRESULT GetRecordCount(ULONG* records) override;
    HRESULT GetBasicErrorInfo(ULONG record, ERRORINFO* info) override;
    HRESULT GetCustomErrorObject(ULONG record, REFIID riid, IUnknown** object) override;
    HRESULT GetErrorInfo(ULONG record, LCID locale, IErrorInfo** info) override;

private:
    std::vector<com_error_record> records_;
};

// A plain error object, without records (what SetErrorInfo takes from an automation object).
class com_simple_error_info final : public com_object<IErrorInfo> {
public:
    com_simple_error_info(IID iid, std::u16string source,
                          std::optional<std::u16string> description);

    HRESULT GetGUID(GUID* guid) override;
    HRESULT GetSource(BSTR* source) override;
    HRESULT GetDescription(BSTR* description) override;

private:
    IID iid_;
    std::u16string source_;
    std::optional<std::u16string> description_;
};

// What a provider method does on its way out. A failure posts an error object with `records`
// (or one record made of `result`, `description` and `source`) and returns the failure; a
// success clears the thread's error object. So the error object always describes the last call.
HRESULT com_post_error(std::vector<com_error_record> records);
HRESULT com_post_error(HRESULT result, const std::u16string& description,
                       const std::u16string& source);
HRESULT com_post_sql_error(HRESULT result, const std::u16string& description,
                           const std::u16string& source, const std::u16string& sqlstate,
                           LONG native_error);
// Clears the thread's error object and returns `result` (a success).
HRESULT com_succeed(HRESULT result = S_OK);
