// Direct conversions between the three Unicode forms the system handles: UTF-32 (wchar_t, the
// system's wide strings), UTF-16 (char16_t, OLE's WCHAR, BSTR and DBTYPE_WSTR data) and UTF-8
// (files, logs, MySQL statements). No iconv and no detour through another form, so row values
// go from UTF-16 to UTF-8 in one pass.
//
// Every conversion takes the whole input (embedded NULs included) and never fails: an unpaired
// surrogate, a value beyond U+10FFFF or a byte sequence that is not UTF-8 becomes U+FFFD, one
// replacement per maximal invalid subpart as Unicode recommends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace win32 {

inline constexpr char32_t replacement_character = 0xFFFD;

// Worst-case output sizes, in output units, for `n` input units.
constexpr std::size_t utf8_max_from_utf32(std::size_t n) {
    return 4 * n;
}
constexpr std::size_t utf8_max_from_utf16(std::size_t n) {
    return 3 * n;
}

// Exact output sizes, in output units.
std::size_t utf8_length(std::wstring_view text);
std::size_t utf8_length(std::u16string_view text);
std::size_t utf16_length(std::wstring_view text);

// Appending forms: the converted text is added to `out`, which keeps its content, so a caller
// can build a statement in one buffer. Each grows `out` once.
void append_utf8(std::string& out, std::wstring_view text);
void append_utf8(std::string& out, std::u16string_view text);
void append_utf16(std::u16string& out, std::wstring_view text);
void append_utf16(std::u16string& out, std::string_view utf8);
void append_wide(std::wstring& out, std::u16string_view text);
void append_wide(std::wstring& out, std::string_view utf8);

// Writes the UTF-8 form of `text` to `out`, which holds at least utf8_max_from_utf16(size)
// bytes (or utf8_length); returns the number of bytes written. No terminator is written.
std::size_t write_utf8(char* out, std::u16string_view text);
std::size_t write_utf8(char* out, std::wstring_view text);

// Returning forms.
std::string to_utf8(std::wstring_view text);
std::string to_utf8(std::u16string_view text);
std::u16string to_utf16(std::wstring_view text);
std::u16string to_utf16(std::string_view utf8);
std::wstring to_wide(std::u16string_view text);
std::wstring to_wide(std::string_view utf8);

// Whether a text is well formed (no invalid bytes, no unpaired surrogates, nothing beyond
// U+10FFFF), for conversions that must refuse rather than replace.
bool is_valid_utf8(std::string_view text);
bool is_valid_unicode(std::wstring_view text);
bool is_valid_unicode(std::u16string_view text);

} // namespace win32
