// Text conversions, string utilities, the program's own path and the file tests.
#include "TK/tk_utils.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "platform/win32/codepage.h"
#include "platform/win32/file.h"
#include "platform/win32/nls.h"
#include "platform/win32/path.h"
#include "platform/win32/unicode.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The Windows conversion calls take int sizes; a longer text cannot be converted.
constexpr std::size_t max_int_length = INT_MAX / 4 - 1;

// Wide text, up to its first NUL, to `code_page`. Sized for the code page's worst case, so room
// never runs out; should a code page ever need more, the exact size is asked for.
bool narrow_text(const wchar_t* text, std::size_t length, UINT code_page, std::string& out) {
    if (length > max_int_length) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    int n = static_cast<int>(length) + 1; // with the terminator, as the callers convert
    std::size_t size =
        (length + 1) * static_cast<std::size_t>(win32::max_bytes_per_char(code_page));
    auto buffer = std::make_unique<char[]>(size);
    int got = WideCharToMultiByte(code_page, 0, text, n, buffer.get(), static_cast<int>(size),
                                  nullptr, nullptr);
    if (got == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        int needed = WideCharToMultiByte(code_page, 0, text, n, nullptr, 0, nullptr, nullptr);
        if (needed == 0) {
            return false;
        }
        size = static_cast<std::size_t>(needed);
        buffer = std::make_unique<char[]>(size);
        got = WideCharToMultiByte(code_page, 0, text, n, buffer.get(), needed, nullptr, nullptr);
    }
    if (got == 0) {
        return false;
    }
    out.assign(buffer.get()); // up to the converted terminator
    return true;
}

// Narrow text in `code_page` with its terminator into `out`, which holds `size` wide characters;
// a text of n bytes never gives more than n+1 characters, but a code page that composes
// differently is given the room it asks for.
bool widen_text(const char* text, std::size_t length, UINT code_page, DWORD flags,
                std::unique_ptr<wchar_t[]>& out, std::size_t& size) {
    if (length > max_int_length) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    int n = static_cast<int>(length) + 1;
    int got = MultiByteToWideChar(code_page, flags, text, n, out.get(), static_cast<int>(size));
    if (got == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        int needed =
            MultiByteToWideChar(code_page, flags, text, n, static_cast<wchar_t*>(nullptr), 0);
        if (needed == 0) {
            return false;
        }
        size = static_cast<std::size_t>(needed);
        out = std::make_unique<wchar_t[]>(size);
        got = MultiByteToWideChar(code_page, flags, text, n, out.get(), needed);
    }
    return got != 0;
}

template <typename String> String rtrim_copy(const String& text) {
    std::size_t last = text.find_last_not_of(typename String::value_type(' '));
    if (last == String::npos) {
        tk_log_message(1, "Special processing for all-spaces-string");
        return String();
    }
    return text.substr(0, last + 1);
}

template <typename String> String ltrim_copy(const String& text) {
    std::size_t first = text.find_first_not_of(typename String::value_type(' '));
    return first == String::npos ? String() : text.substr(first);
}

template <typename Char>
std::vector<std::basic_string<Char>> tokenize_text(const std::basic_string<Char>& text,
                                                   Char separator) {
    std::vector<std::basic_string<Char>> items;
    if (text.empty()) {
        return items;
    }
    std::basic_string_view<Char> rest(text.c_str()); // up to the first NUL
    for (;;) {
        std::size_t at = rest.find(separator);
        if (at == rest.npos) {
            items.emplace_back(rest);
            return items;
        }
        items.emplace_back(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
}

template <typename String>
void replace_in_place(String& text, const String& from, const String& to) {
    if (from.empty()) {
        return; // nothing to find; no caller asks for it
    }
    std::size_t position = 0;
    while ((position = text.find(from, position)) != String::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
}

bool equal_no_case(const wchar_t* a, const wchar_t* b, std::size_t length) {
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a, static_cast<int>(length), b,
                          static_cast<int>(length)) == CSTR_EQUAL;
}

template <typename Char>
void bin_to_hex(unsigned length, const unsigned char* bytes, Char* out, int line) {
    if (out == nullptr || (bytes == nullptr && length != 0)) {
        throw tk_mail_assertion("tk_utils", line);
    }
    static constexpr char digits[] = "0123456789ABCDEF";
    for (unsigned i = 0; i < length; ++i) {
        *out++ = static_cast<Char>(digits[bytes[i] >> 4]);
        *out++ = static_cast<Char>(digits[bytes[i] & 0x0F]);
    }
    *out = Char(0);
}

// A directory the process can enter (the test the working-directory change made).
bool is_enterable_directory(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
           win32::has_access(path, GENERIC_EXECUTE);
}

} // namespace

// ---- Conversions that throw -------------------------------------------------------------------

std::wstring tk_to_wstring(const std::string& text) {
    std::size_t length = std::strlen(text.c_str());
    std::size_t size = length + 1;
    auto buffer = std::make_unique<wchar_t[]>(size);
    if (!widen_text(text.c_str(), length, CP_ACP, MB_PRECOMPOSED, buffer, size)) {
        throw tk_exception_ex("Cannot convert to UNICODE string: ", 0);
    }
    return std::wstring(buffer.get());
}

std::wstring tk_utf8_to_wstring(const std::string& text) {
    return win32::to_wide(std::string_view(text.c_str()));
}

std::string tk_to_string(const std::wstring& text, int code_page) {
    UINT page = code_page == -1 ? CP_ACP : static_cast<UINT>(code_page);
    std::string out;
    if (code_page < -1 || !narrow_text(text.c_str(), std::wcslen(text.c_str()), page, out)) {
        if (code_page < -1) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        throw tk_exception_ex("Cannot convert to ANSI string: ", 0);
    }
    return out;
}

std::string tk_to_utf8(const std::wstring& text) {
    // UTF-8 takes every character (an invalid one becomes U+FFFD), so this cannot fail.
    return win32::to_utf8(std::wstring_view(text.c_str()));
}

// ---- Conversions that answer with a bool ------------------------------------------------------

std::size_t tk_ansi_buffer_size(std::size_t length) {
    return (length + 1) * static_cast<std::size_t>(win32::max_bytes_per_char(CP_ACP));
}

bool tk_unicode_to_ansi1(const wchar_t* text, char* out) {
    if (text == nullptr || out == nullptr) {
        return false;
    }
    std::size_t length = std::wcslen(text);
    std::size_t size = tk_ansi_buffer_size(length);
    tk_log_message(1, "tk_unicode_to_ansi1");
    tk_log_message(1, "n_ansi=%d, n_unicode=%d", static_cast<int>(size),
                   static_cast<int>(length + 1));
    if (length > max_int_length) {
        return false;
    }
    return WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length) + 1, out,
                               static_cast<int>(size), nullptr, nullptr) != 0;
}

bool tk_unicode_to_ansi2(const wchar_t* text, char*& out) {
    if (text == nullptr) {
        return false;
    }
    std::size_t length = std::wcslen(text);
    std::size_t size = tk_ansi_buffer_size(length);
    tk_log_message(1, "tk_unicode_to_ansi2");
    char* buffer = new char[size];
    buffer[0] = '\0';
    delete[] out;
    out = buffer;
    if (length > max_int_length) {
        return false;
    }
    return WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length) + 1, out,
                               static_cast<int>(size), nullptr, nullptr) != 0;
}

bool tk_unicode_to_ansi3(const wchar_t* text, std::string& out) {
    if (text == nullptr) {
        return false;
    }
    std::size_t length = std::wcslen(text);
    int n = length > max_int_length ? 0 : static_cast<int>(length);
    int size = n == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, text, n, nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size));
    bool ok = size != 0 &&
              WideCharToMultiByte(CP_ACP, 0, text, n, out.data(), size, nullptr, nullptr) != 0;
    tk_log_message(1,
                   ok ? "tk_unicode_to_ansi3 - return true" : "tk_unicode_to_ansi3 - return false");
    return ok;
}

bool tk_ansi_to_unicode(const char* text, wchar_t*& out) {
    if (text == nullptr) {
        return false;
    }
    std::size_t length = std::strlen(text);
    std::size_t size = length + 1;
    auto buffer = std::make_unique<wchar_t[]>(size);
    bool ok = widen_text(text, length, CP_ACP, MB_PRECOMPOSED, buffer, size);
    delete[] out;
    out = buffer.release();
    return ok;
}

// ---- UTF-16 -----------------------------------------------------------------------------------

std::u16string tk_to_utf16(std::wstring_view text) {
    return win32::to_utf16(text);
}

std::u16string tk_utf8_to_utf16(std::string_view text) {
    return win32::to_utf16(text);
}

std::wstring tk_utf16_to_wstring(std::u16string_view text) {
    return win32::to_wide(text);
}

std::string tk_utf16_to_utf8(std::u16string_view text) {
    return win32::to_utf8(text);
}

void tk_append_utf8(std::string& out, std::u16string_view text) {
    win32::append_utf8(out, text);
}

void tk_append_utf8(std::string& out, std::wstring_view text) {
    win32::append_utf8(out, text);
}

// ---- Trimming ---------------------------------------------------------------------------------

std::string tk_rtrim(const std::string& text) {
    return rtrim_copy(text);
}

std::wstring tk_wrtrim(const std::wstring& text) {
    return rtrim_copy(text);
}

std::string tk_trim(const std::string& text) {
    return ltrim_copy(rtrim_copy(text));
}

std::wstring tk_wtrim(const std::wstring& text) {
    return ltrim_copy(rtrim_copy(text));
}

// ---- tk_string --------------------------------------------------------------------------------

bool tk_string::starts_with(const std::string& text, const std::string& prefix,
                            bool case_sensitive) {
    if (prefix.empty()) {
        return true;
    }
    if (text.size() < prefix.size()) {
        return false;
    }
    if (case_sensitive) {
        return text.compare(0, prefix.size(), prefix) == 0;
    }
    return compare_no_case(text.substr(0, prefix.size()), prefix);
}

bool tk_string::compare_no_case(const std::string& a, const std::string& b) {
    tk_log_message(1, "tk_string::compare_no_case");
    if (a.size() > max_int_length || b.size() > max_int_length) {
        return false;
    }
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::vector<std::string> tk_string::tokenize(const std::string& text, char separator) {
    return tokenize_text(text, separator);
}

std::string tk_string::replace_all(std::string& text, const std::string& from,
                                   const std::string& to) {
    tk_log_message(1, "tk_string::replace_all('%s','%s')", from.c_str(), to.c_str());
    replace_in_place(text, from, to);
    return text;
}

// ---- tk_wstring -------------------------------------------------------------------------------

std::wstring& tk_wstring::trim(std::wstring& text) {
    std::size_t last = text.find_last_not_of(L' ');
    text.erase(last == std::wstring::npos ? 0 : last + 1);
    std::size_t first = text.find_first_not_of(L' ');
    text.erase(0, first == std::wstring::npos ? text.size() : first);
    return text;
}

bool tk_wstring::starts_with(const std::wstring& text, const std::wstring& prefix,
                             bool case_sensitive) {
    if (prefix.empty()) {
        return true;
    }
    if (text.size() < prefix.size()) {
        return false;
    }
    if (case_sensitive) {
        return text.compare(0, prefix.size(), prefix) == 0;
    }
    return prefix.size() <= max_int_length &&
           equal_no_case(text.data(), prefix.data(), prefix.size());
}

bool tk_wstring::ends_with(const std::wstring& text, const std::wstring& suffix,
                           bool case_sensitive) {
    if (suffix.empty()) {
        return true;
    }
    if (text.size() < suffix.size()) {
        return false;
    }
    std::size_t start = text.size() - suffix.size();
    if (case_sensitive) {
        return text.compare(start, suffix.size(), suffix) == 0;
    }
    return suffix.size() <= max_int_length &&
           equal_no_case(text.data() + start, suffix.data(), suffix.size());
}

std::vector<std::wstring> tk_wstring::tokenize(const std::wstring& text, wchar_t separator) {
    return tokenize_text(text, separator);
}

bool tk_wstring::split(const std::wstring& text, wchar_t separator,
                       std::vector<std::wstring>& out) {
    tk_log_wmessage(1, L"tk_wstring::split(%lc)", static_cast<wint_t>(separator));
    out = tokenize(text, separator);
    return true;
}

std::wstring tk_wstring::replace_all(std::wstring& text, const std::wstring& from,
                                     const std::wstring& to) {
    tk_log_wmessage(1, L"tk_wstring::replace_all(%ls,%ls)", from.c_str(), to.c_str());
    replace_in_place(text, from, to);
    return text;
}

std::wstring tk_wstring::to_lower(std::wstring& text) {
    tk_log_wmessage(1, L"tk_wstring::to_lower(%ls)", text.c_str());
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + (L'a' - L'A'));
        }
    }
    return text;
}

// ---- ASCII letter case ------------------------------------------------------------------------

namespace {

template <typename Char>
bool equal_ascii_no_case(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (tk_ascii_upper(a[i]) != tk_ascii_upper(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

bool tk_equal_ascii_no_case(std::string_view a, std::string_view b) {
    return equal_ascii_no_case(a, b);
}

bool tk_equal_ascii_no_case(std::wstring_view a, std::wstring_view b) {
    return equal_ascii_no_case(a, b);
}

// ---- Hexadecimal ------------------------------------------------------------------------------

void tk_bin_to_hex(unsigned length, const unsigned char* bytes, char* out) {
    bin_to_hex(length, bytes, out, 903);
}

void tk_bin_to_whex(unsigned length, const unsigned char* bytes, wchar_t* out) {
    bin_to_hex(length, bytes, out, 917);
}

// ---- The program's own path -------------------------------------------------------------------

std::string tk_get_module_file_name() {
    char buffer[PATH_MAX];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    tk_check(length != 0, "tk_utils", 119);
    return std::string(buffer, length);
}

std::wstring tk_get_module_file_wname() {
    wchar_t buffer[PATH_MAX];
    DWORD length = GetModuleFileNameW(nullptr, buffer, PATH_MAX);
    tk_check(length != 0, "tk_utils", 132);
    return std::wstring(buffer, length);
}

std::string tk_get_module_dir() {
    win32::path_parts parts = win32::split_path(tk_get_module_file_name());
    return parts.drive + parts.dir;
}

// ---- tk_temp_chdir ----------------------------------------------------------------------------

tk_temp_chdir::tk_temp_chdir(const std::string& dir) {
    tk_log_message(2, "tk_temp_chdir::ctor");
    initialize(dir.empty() ? tk_get_module_dir() : dir);
}

tk_temp_chdir::~tk_temp_chdir() {
    tk_log_message(2, "tk_temp_chdir::dtor");
    if (changed && chdir(saved_dir.c_str()) != 0) {
        tk_log_message(1, "_chdir failed");
    }
    tk_log_message(2, "tk_temp_chdir::dtor - at the END");
}

void tk_temp_chdir::initialize(const std::string& dir) {
    tk_log_message(2, "tk_temp_chdir::initialize(%s)", dir.c_str());
    tk_log_message(1, "Step #1");
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        tk_log_message(1, "_getcwd failed");
        changed = false;
        return;
    }
    tk_log_message(1, "Step #2");
    saved_dir = buffer;
    changed = chdir(dir.c_str()) == 0;
    if (!changed) {
        tk_log_message(1, "_chdir failed");
    }
}

// ---- File tests -------------------------------------------------------------------------------

bool tk_is_path_exist(const std::string& path) {
    tk_log_message(1, "tk_is_path_exist(%s)", path.c_str());
    // Tested with stat rather than by entering the directory: the working directory belongs to
    // the whole process, and other threads resolve relative paths against it meanwhile.
    if (path.empty()) {
        return is_enterable_directory(tk_get_module_dir().c_str());
    }
    return is_enterable_directory(path.c_str());
}

bool tk_is_path_exist(const std::wstring& path) {
    tk_log_wmessage(1, L"tk_is_path_exist(%ls)", path.c_str());
    char* narrow = nullptr;
    bool converted = tk_unicode_to_ansi2(path.c_str(), narrow);
    std::unique_ptr<char[]> owner(narrow);
    return converted && tk_is_path_exist(std::string(narrow));
}

namespace {

bool file_test(DWORD attributes, unsigned mode) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    return mode != tk_file_writable || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

} // namespace

bool tk_is_file_exist1(const std::string& path, unsigned mode) {
    tk_log_message(1, "tk_is_file_exist1(%s,%d)", path.c_str(), static_cast<int>(mode));
    return file_test(GetFileAttributesA(path.c_str()), mode);
}

bool tk_is_file_exist2(const std::wstring& path, unsigned mode) {
    tk_log_wmessage(2, L"tk_is_file_exist2(%ls,%08X)", path.c_str(), mode);
    return file_test(GetFileAttributesW(path.c_str()), mode);
}

bool tk_has_access(const char* path, unsigned desired_access) {
    return win32::has_access(path, desired_access);
}

bool tk_has_waccess(const wchar_t* path, unsigned desired_access) {
    if (path == nullptr) {
        return false;
    }
    // A character the code page lacks refuses the path instead of testing another one.
    std::size_t length = std::wcslen(path);
    if (length == 0 || length > win32::max_path_length()) {
        return false;
    }
    std::string narrow(tk_ansi_buffer_size(length), '\0');
    int got = WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, path, static_cast<int>(length),
                                  narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
    if (got == 0) {
        return false;
    }
    narrow.resize(static_cast<std::size_t>(got));
    return win32::has_access(narrow.c_str(), desired_access);
}
