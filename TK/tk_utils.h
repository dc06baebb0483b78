// Text conversions, string utilities, the program's own path and the file tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Wide strings are UTF-32 (wchar_t); narrow strings are in the ANSI code page (the codeset of the
// process locale, UTF-8 under the C locale; see platform/win32/codepage.h) or in UTF-8, as each
// operation says. A conversion result ends at the first NUL of its input.

// ---- Conversions that throw tk_exception_ex (level 0) on failure ----------------------------

// ANSI code page to wide text. Failure: "Cannot convert to UNICODE string: " and the system text.
std::wstring tk_to_wstring(const std::string& text);

// UTF-8 to wide text; invalid bytes become U+FFFD, never an error.
std::wstring tk_utf8_to_wstring(const std::string& text);

// Wide text to `code_page` (-1: the ANSI code page). Characters the code page lacks become its
// default character "?". Failure (an unknown code page): "Cannot convert to ANSI string: ".
std::string tk_to_string(const std::wstring& text, int code_page);

// Wide text to UTF-8. Failure: "Cannot convert to UTF8 string: ".
std::string tk_to_utf8(const std::wstring& text);

// ---- Conversions that answer with a bool ------------------------------------------------------

// The size in bytes of a buffer that holds any wide text of `length` characters, with its NUL,
// in the ANSI code page: (length + 1) times the most bytes one character can take there.
std::size_t tk_ansi_buffer_size(std::size_t length);

// Wide text to the ANSI code page into the caller's buffer, which must hold
// tk_ansi_buffer_size(wcslen(text)) bytes. False for a null text or a failed conversion.
bool tk_unicode_to_ansi1(const wchar_t* text, char* out);

// The same into a new buffer of tk_ansi_buffer_size(wcslen(text)) bytes (new[]), which replaces
// (and frees, delete[]) the one `out` held; the caller owns it. On a failed conversion the new
// buffer is in `out` all the same.
bool tk_unicode_to_ansi2(const wchar_t* text, char*& out);

// The same into `out`, resized to the converted text's exact length. An empty text: false, and
// `out` empty.
bool tk_unicode_to_ansi3(const wchar_t* text, std::string& out);

// ANSI code page to wide text into a new buffer of strlen(text)+1 wide characters (new[]), which
// replaces (and frees, delete[]) the one `out` held. False for a null text or a failed
// conversion, which still leaves the new buffer in `out`.
bool tk_ansi_to_unicode(const char* text, wchar_t*& out);

// ---- UTF-16 (OLE's WCHAR, BSTR and row-buffer text) -------------------------------------------
// Direct conversions that never fail: unpaired surrogates and invalid UTF-8 become U+FFFD. They
// take the whole input, NULs included.

std::u16string tk_to_utf16(std::wstring_view text);
std::u16string tk_utf8_to_utf16(std::string_view text);
std::wstring tk_utf16_to_wstring(std::u16string_view text);
std::string tk_utf16_to_utf8(std::u16string_view text);
// Appends the UTF-8 form of `text` to `out` (one allocation at most): for building statements
// from row values without a temporary string.
void tk_append_utf8(std::string& out, std::u16string_view text);
void tk_append_utf8(std::string& out, std::wstring_view text);

// ---- Trimming (the blank is the space character alone) ----------------------------------------

std::string tk_rtrim(const std::string& text);
std::wstring tk_wrtrim(const std::wstring& text);
std::string tk_trim(const std::string& text);
std::wstring tk_wtrim(const std::wstring& text);

// ---- Narrow string utilities ------------------------------------------------------------------

class tk_string {
public:
    // True for an empty prefix; false when `text` is shorter; else the first characters compared
    // exactly or with compare_no_case.
    static bool starts_with(const std::string& text, const std::string& prefix,
                            bool case_sensitive);
    // Case-insensitive equality of two ANSI texts.
    static bool compare_no_case(const std::string& a, const std::string& b);
    // The pieces between separators, empty pieces kept; the piece after the last separator is
    // always added; an empty text gives no piece. The scan stops at the first NUL.
    static std::vector<std::string> tokenize(const std::string& text, char separator);
    // Replaces every `from` in `text`, left to right, never searching inserted text again; returns
    // a copy of the result. An empty `from` changes nothing.
    static std::string replace_all(std::string& text, const std::string& from,
                                   const std::string& to);
};

// ---- Wide string utilities --------------------------------------------------------------------

class tk_wstring {
public:
    // Trailing, then leading blanks removed in place.
    static std::wstring& trim(std::wstring& text);
    // As tk_string::starts_with; the case-insensitive comparison is CompareStringW with the user
    // default locale and NORM_IGNORECASE.
    static bool starts_with(const std::wstring& text, const std::wstring& prefix,
                            bool case_sensitive);
    static bool ends_with(const std::wstring& text, const std::wstring& suffix,
                          bool case_sensitive);
    static std::vector<std::wstring> tokenize(const std::wstring& text, wchar_t separator);
    // `out` := tokenize(text, separator); always true.
    static bool split(const std::wstring& text, wchar_t separator, std::vector<std::wstring>& out);
    // As tk_string::replace_all; callers rely on the change made in `text`.
    static std::wstring replace_all(std::wstring& text, const std::wstring& from,
                                    const std::wstring& to);
    // Lower-cases A to Z in place (nothing else changes) and returns a copy.
    static std::wstring to_lower(std::wstring& text);
};

// ---- ASCII letter case ------------------------------------------------------------------------
// Keywords, option names, type names and profile keys are ASCII words: their case is folded for A
// to Z alone, whatever the locale. The C library's folding follows LC_CTYPE, and under a Turkish
// locale 'i' is upper-cased to U+0130, so a lower-case "insert" would never equal "INSERT".

template <typename Char> constexpr Char tk_ascii_upper(Char c) {
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}
// `text` with its ASCII letters in upper case; every other character as it is.
inline std::wstring tk_ascii_upper_copy(std::wstring text) {
    for (wchar_t& c : text) {
        c = tk_ascii_upper(c);
    }
    return text;
}
template <typename Char> constexpr Char tk_ascii_lower(Char c) {
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}
// Equal when they differ at most in the case of ASCII letters.
bool tk_equal_ascii_no_case(std::string_view a, std::string_view b);
bool tk_equal_ascii_no_case(std::wstring_view a, std::wstring_view b);

// ---- Hexadecimal text of bytes ----------------------------------------------------------------

// Two upper-case hex digits per byte, then a NUL; `out` holds 2*length+1 characters. A null `out`
// is an internal error.
void tk_bin_to_hex(unsigned length, const unsigned char* bytes, char* out);
void tk_bin_to_whex(unsigned length, const unsigned char* bytes, wchar_t* out);

// ---- The program's own path -------------------------------------------------------------------

// The full path of the running program; an internal error when the system gives none.
std::string tk_get_module_file_name();
std::wstring tk_get_module_file_wname();
// Its directory with the trailing "/".
std::string tk_get_module_dir();

// ---- Working directory ------------------------------------------------------------------------

// Changes the process's working directory for the object's lifetime (the empty text: the
// program's directory) and restores it when destroyed. The whole process sees the change.
class tk_temp_chdir {
public:
    explicit tk_temp_chdir(const std::string& dir);
    ~tk_temp_chdir();
    tk_temp_chdir(const tk_temp_chdir&) = delete;
    tk_temp_chdir& operator=(const tk_temp_chdir&) = delete;

    void initialize(const std::string& dir);

    bool changed = false;  // the directory was changed and must be restored
    std::string saved_dir; // the working directory before the change
};

// ---- File tests (they answer false rather than throw) -----------------------------------------

// Whether the path names an existing directory (the empty text: the program's directory). The
// working directory is not touched.
bool tk_is_path_exist(const std::string& path);
bool tk_is_path_exist(const std::wstring& path);

inline constexpr unsigned tk_file_exists = 0x4000; // exists and is not a directory
inline constexpr unsigned tk_file_writable = 1;    // ... and is not read-only

// Mode tk_file_exists (0x4000) or tk_file_writable (1), as above.
bool tk_is_file_exist1(const std::string& path, unsigned mode);
bool tk_is_file_exist2(const std::wstring& path, unsigned mode);

// Whether the process's user is granted `desired_access` (GENERIC_WRITE, ...) on the file or
// directory; for a directory, write access means that files may be created in it.
bool tk_has_access(const char* path, unsigned desired_access);
bool tk_has_waccess(const wchar_t* path, unsigned desired_access);
