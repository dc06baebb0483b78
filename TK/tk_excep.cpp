// The exception family and the toolkit's message table.
#include "TK/tk_excep.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/error.h"

#include <cstdio>

// Entries 0 to 11 are narrow, 12 to 70 wide; the empty ones are read by no operation.
const void* const tk_messages[tk_message_count] = {
    "",                                          // 0
    "Velmora Support <support@velmora.example>", // 1: the bug-report recipient
    "Cannot create log file. Make sure you have sufficient\nprivileges to create files in the "
    "directory.",                                                              // 2
    "Logfile path does not exist.\nPlease verify the correct path was given.", // 3
    "Logfile name specifies an existing read-only file.",                      // 4
    "Logfile name specifies an existing path.",                                // 5
    "",
    "",
    "",
    "",                        // 6 to 9
    "Unknown exception",       // 10
    "Internal error: \ncode=", // 11
    L"Generic settings",       // 12
    L"Available Queries",      // 13
    L"Selected Tables",        // 14
    L"Selected Views",         // 15
    L"src",                    // 16
    L"dest",                   // 17
    L"logfile",                // 18
    L"only definitions",       // 19
    L"skip indexes",           // 20
    L"mode",                   // 21
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",                        // 22 to 38
    L"connect as DBO",          // 39
    L"server",                  // 40
    L"windows authentication",  // 41
    L"login",                   // 42
    L"password",                // 43
    L"MS SQL Server settings",  // 44
    L"host",                    // 45
    L"user",                    // 46
    L"password",                // 47
    L"port",                    // 48
    L"direct mode",             // 49
    L"",                        // 50
    L"MySQL settings",          // 51
    L"",                        // 52
    L"dump line break",         // 53
    L"dump new version",        // 54
    L"dump add lock to insert", // 55
    L"dump insert comments",    // 56
    L"dump create database",    // 57
    L"dump create table",       // 58
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",
    L"",                                                                                 // 59 to 67
    L"Profile does not exist. Please verify the correct path/name was given.",           // 68
    L"The structure of data source does not conform to the destination table.",          // 69
    L"Table names file does not exist.\nPlease verify the correct path/name was given.", // 70
};

const char* tk_message(int index) {
    if (index < 0 || index >= tk_first_wide_message) {
        throw tk_mail_assertion("tk_excep", __LINE__);
    }
    return static_cast<const char*>(tk_messages[index]);
}

const wchar_t* tk_wmessage(int index) {
    if (index < tk_first_wide_message || index >= tk_message_count) {
        throw tk_mail_assertion("tk_excep", __LINE__);
    }
    return static_cast<const wchar_t*>(tk_messages[index]);
}

tk_exception::tk_exception(const std::string& text, int level_)
    : message(text.empty() ? tk_message(tk_msg_unknown_exception) : text), level(level_) {
}

tk_exception::tk_exception(const std::wstring& text, int level_) : level(level_) {
    char* ansi = nullptr;
    if (tk_unicode_to_ansi2(text.c_str(), ansi)) {
        message = ansi;
    }
    delete[] ansi;
}

tk_exception::tk_exception(int level_)
    : message(tk_message(tk_msg_unknown_exception)), level(level_) {
}

tk_exception::~tk_exception() = default;

const char* tk_exception::what() const noexcept {
    return message.c_str();
}

tk_exception_ex::tk_exception_ex(const std::string& text, int level_) : tk_exception(level_) {
    code = static_cast<int>(GetLastError());
    char* system_text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                       static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<char*>(&system_text), 0, nullptr);
    // Asking for the text must not change the error the caller may still read.
    SetLastError(static_cast<DWORD>(code));
    if (length == 0 || system_text == nullptr) {
        return;
    }
    message = text + system_text;
    tk_log_message(2, "GetLastError: %s", system_text);
    LocalFree(system_text);
}

tk_exception_ex::tk_exception_ex() : tk_exception_ex(std::string(), 1) {
}

tk_mail_assertion::tk_mail_assertion(const char* file, int line)
    : tk_exception(make_err_meggase(file, line), 2) {
    tk_log_message(2, "tk_mail_assertion::ctor(%s)", file == nullptr ? "" : file);
}

tk_final_exception::tk_final_exception() {
    tk_log_message(2, "tk_final_exception::ctor");
}

std::string make_err_meggase(const char* file, int line) {
    if (file == nullptr) {
        file = "";
    }
    tk_log_message(2, "make_err_meggase(%s, %d)", file, line);
    char where[276];
    std::snprintf(where, sizeof where, "%s\\%d", file, line);
    tk_log_message(2, "result=%s", where);

    static constexpr char digits[] = "0123456789abcdef";
    std::string text = tk_message(tk_msg_internal_error);
    for (const char* p = where; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}
