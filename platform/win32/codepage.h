// Code-page conversions (MultiByteToWideChar / WideCharToMultiByte) over iconv.
#pragma once

#include "platform/win32/win32_types.h"

// Code pages. CP_ACP, CP_OEMCP and CP_THREAD_ACP all mean the ANSI code page (see GetACP).
// Any other number is a Windows code page that iconv knows as "CP<number>" (1250 to 1258,
// 437, 850, 932, 936, 949, 950, ...), plus the few with other iconv names (20127, 28591 to
// 28599, 54936).
inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_THREAD_ACP = 3;
inline constexpr UINT CP_UTF8 = 65001;

// Conversion flags. MB_PRECOMPOSED is the default of every conversion here (the text is not
// decomposed); MB_ERR_INVALID_CHARS and WC_ERR_INVALID_CHARS make an invalid or unmappable
// character a failure (ERROR_NO_UNICODE_TRANSLATION) instead of a replacement.
inline constexpr DWORD MB_PRECOMPOSED = 0x00000001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

// The ANSI code page: the one set by win32::set_ansi_code_page when set, else the codeset of the
// calling thread's locale (LC_CTYPE). The C/POSIX locale, whose codeset is ASCII, counts as UTF-8,
// so a program started without a locale still converts every character. Answers CP_UTF8 for UTF-8
// and the Windows number for the single-byte and Far-East codesets glibc names after them
// (ISO-8859-1 counts as 28591, CP1252 as 1252, ...); a codeset without a Windows number is
// still used for the conversions, and GetACP answers 0 for it.
UINT GetACP();

namespace win32 {

// Makes every CP_ACP conversion of the process use `code_page` instead of the locale's codeset;
// 0 (CP_ACP) restores the locale's. For tests of the lossy paths (a single-byte code page such
// as 1252) and for programs that must pin the code page. The environment variable
// VELMORA_ANSI_CODEPAGE (a number), read once at the first conversion, sets the same override.
// Returns false, and changes nothing, when iconv does not know the code page.
bool set_ansi_code_page(UINT code_page);

// Worst-case number of bytes that one wchar_t (one UTF-32 character) takes in `code_page`:
// 4 in UTF-8, and no more in any other code page iconv offers for a Windows number. A buffer
// of (length + 1) times this never runs out of room. For one UTF-16 unit, use
// max_bytes_per_utf16_unit: 3 in UTF-8 (a surrogate pair takes 4 bytes for its two units).
int max_bytes_per_char(UINT code_page);
int max_bytes_per_utf16_unit(UINT code_page);

} // namespace win32

// Narrow text in `code_page` to wide text. `source_length` -1 means the text with its NUL
// terminator, which is then converted too. `dest_size` 0 asks for the size the result needs,
// in wide characters; otherwise the result goes into `dest` and its length is returned.
// Bytes that do not form a character become U+FFFD (unless MB_ERR_INVALID_CHARS is given).
// 0 on failure, with the last error set: ERROR_INVALID_PARAMETER (null text, unknown code page,
// bad sizes), ERROR_INVALID_FLAGS, ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION.
// MB_PRECOMPOSED is accepted with every code page, UTF-8 included, since the ANSI code page may
// be UTF-8 here. A null `dest` must be typed (static_cast<wchar_t*>(nullptr)) to pick the form.
// The wchar_t form gives UTF-32; the WCHAR form gives UTF-16 (a character beyond U+FFFF takes
// two units).
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length,
                        wchar_t* dest, int dest_size);
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR dest,
                        int dest_size);

// Wide text to narrow text in `code_page`; the counterpart of MultiByteToWideChar, with the
// sizes in bytes. A character that the code page lacks becomes `default_char` (when given and
// the code page is not UTF-8) or "?", and *used_default_char (when given) tells whether that
// happened. An unpaired surrogate or a value beyond U+10FFFF becomes U+FFFD in UTF-8 and the
// default character elsewhere (unless WC_ERR_INVALID_CHARS is given); a surrogate pair is one
// character. For UTF-8 `default_char` is ignored and *used_default_char is FALSE.
int WideCharToMultiByte(UINT code_page, DWORD flags, const wchar_t* source, int source_length,
                        LPSTR dest, int dest_size, LPCSTR default_char, LPBOOL used_default_char);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_length, LPSTR dest,
                        int dest_size, LPCSTR default_char, LPBOOL used_default_char);
