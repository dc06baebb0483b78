// OLE DB errors as exceptions.
#include "MSS/odb_exce.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/nls.h"

namespace {

std::wstring take_bstr(BSTR text) {
    std::wstring result = tk_utf16_to_wstring(std::u16string_view(text, SysStringLen(text)));
    SysFreeString(text);
    return result;
}

// The ANSI text of `text`, empty when it is empty or cannot be converted.
std::string ansi(const std::wstring& text) {
    std::string out;
    if (!tk_unicode_to_ansi3(text.c_str(), out)) {
        out.clear();
    }
    return out;
}

} // namespace

odb_exception::error_info_dispatcher::error_info_dispatcher(IErrorInfo* info) {
    tk_log_message(1, "odb_exception::error_info_dispatcher::ctor");
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetSource(&text)) && text != nullptr) {
        tk_log_message(1, "Processing source");
        source = take_bstr(text);
        tk_log_wmessage(2, L"Source:\t\t%ls\n", source.c_str());
    }
    text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text != nullptr) {
        tk_log_message(1, "Processing description");
        description = take_bstr(text);
        tk_log_wmessage(2, L"Error message:\t%ls", description.c_str());
    }
}

odb_exception::odb_exception(HRESULT hr, bool detailed) : tk_exception(0) {
    code = 0x80000 + (static_cast<std::uint32_t>(hr) & 0xFFFF);
    ole_com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) {
        tk_log_message(2, "dump_error: GetErrorInfo failed");
        return;
    }
    ole_com_ptr<IErrorRecords> records;
    if (SUCCEEDED(info->QueryInterface(IID_IErrorRecords, records.out_void())) && records) {
        tk_log_message(2, "Got IErrorRecords");
        extract_from_records2(records.get(), detailed);
        return;
    }
    const error_info_dispatcher dispatcher(info.get());
    message = ansi(dispatcher.description);
    source = dispatcher.source;
}

odb_exception::odb_exception(const std::wstring& text) : tk_exception(text, 0) {
}

void odb_exception::extract_from_records2(IErrorRecords* records, bool detailed) {
    tk_log_message(2, "odb_exception::extract_from_records2(%d)", detailed ? 1 : 0);
    ULONG count = 0;
    if (FAILED(records->GetRecordCount(&count))) {
        count = 0;
    }
    tk_log_message(1, "Got %d record(s)", static_cast<int>(count));
    for (ULONG i = 0; i < count; ++i) {
        ERRORINFO basic{};
        records->GetBasicErrorInfo(i, &basic);
        ole_com_ptr<ISQLErrorInfo> sql;
        records->GetCustomErrorObject(i, IID_ISQLErrorInfo, sql.out_unknown());
        tk_log_message(2, "HRESULT:\t0x%08X", static_cast<unsigned>(basic.hrError));

        if (sql) {
            BSTR state = nullptr;
            LONG native = 0;
            if (SUCCEEDED(sql->GetSQLInfo(&state, &native))) {
                native_error = native;
                const bool have_state = state != nullptr;
                const std::wstring wide_state = have_state ? take_bstr(state) : std::wstring();
                std::string ansi_state(tk_ansi_buffer_size(wide_state.size()), '\0');
                if (!have_state || !tk_unicode_to_ansi1(wide_state.c_str(), ansi_state.data())) {
                    throw tk_mail_assertion("odb_exce", 185);
                }
                tk_log_message(2, "SQLSTATE:\t%s", ansi_state.c_str());
                tk_log_message(2, "Native Error:\t%ld", static_cast<long>(native));
            }
        }

        ole_com_ptr<IErrorInfo> info;
        if (SUCCEEDED(records->GetErrorInfo(i, GetUserDefaultLCID(), &info)) && info) {
            const error_info_dispatcher dispatcher(info.get());
            message = ansi(dispatcher.description);
            source = dispatcher.source;
            if (!message.empty()) {
                break;
            }
        }
    }
    if (message.empty()) {
        message = "Generic error occurred while migrating the data.";
    }
}

std::wstring odb_exception::GetErrorString() {
    tk_log_message(2, "odb_exception::GetErrorString");
    ole_com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        ole_com_ptr<IErrorRecords> records;
        ULONG count = 0;
        if (SUCCEEDED(info->QueryInterface(IID_IErrorRecords, records.out_void())) && records &&
            SUCCEEDED(records->GetRecordCount(&count))) {
            return extract_from_records1(records.get());
        }
    }
    return L"Generic error occurred while migrating the data.";
}

std::wstring odb_exception::extract_from_records1(IErrorRecords* records) {
    tk_log_message(2, "odb_exception::extract_from_records1");
    ULONG count = 0;
    if (FAILED(records->GetRecordCount(&count)) || count == 0) {
        return L"Generic error occurred while migrating the data.";
    }
    std::wstring joined;
    bool duplicate_key = false;
    for (ULONG i = 0; i < count; ++i) {
        ERRORINFO basic{};
        records->GetBasicErrorInfo(i, &basic);
        tk_log_message(1, "GetBasicErrorInfo: HRESULT=%08X, Minor Code=%d",
                       static_cast<unsigned>(basic.hrError), static_cast<int>(basic.dwMinor));
        duplicate_key = duplicate_key || basic.dwMinor == 2627;
        ole_com_ptr<IErrorInfo> info;
        if (FAILED(records->GetErrorInfo(i, GetSystemDefaultLCID(), &info)) || !info) {
            tk_log_message(1, "pIErrorRecords->GetErrorInfo FAILED");
            continue;
        }
        tk_log_message(1, "pIErrorRecords->GetErrorInfo SUCCEEDED");
        BSTR text = nullptr;
        if (FAILED(info->GetDescription(&text)) || text == nullptr) {
            tk_log_message(1, "pIErrorRecords->GetDescription FAILED");
            continue;
        }
        tk_log_message(1, "pIErrorRecords->GetDescription SUCCEEDED");
        if (!joined.empty()) {
            joined += L"\n";
        }
        joined += take_bstr(text);
    }
    if (!joined.empty()) {
        return joined;
    }
    if (duplicate_key) {
        return L"Violation of PRIMARY KEY constraint.\nCannot insert duplicate key in the table.";
    }
    return L"Generic error occurred while migrating the data.";
}

mss_no_perm_exception::mss_no_perm_exception(const std::wstring& user, const std::wstring& database)
    : tk_exception(L"User '" + user + L"' does not have permission to access database '" +
                       database + L"'",
                   0) {
}

void odb_check(HRESULT hr) {
    if (FAILED(hr)) {
        tk_log_message(2, "Error code: %08X", static_cast<unsigned>(hr));
        throw odb_exception(hr, true);
    }
}
