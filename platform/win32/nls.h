// National-language functions: locale identifiers, case-insensitive comparison, character
// classes.
#pragma once

#include "platform/win32/win32_types.h"

// Locale identifiers. Every locale of the system is English (United States), 1033, whatever
// the process locale: number and date texts follow its rules.
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_INVARIANT = 0x007F;
inline constexpr LCID LANG_ENGLISH_US = 1033;

LCID GetUserDefaultLCID();   // 1033
LCID GetSystemDefaultLCID(); // 1033

// CompareString flags and results.
inline constexpr DWORD NORM_IGNORECASE = 0x00000001;
inline constexpr int CSTR_LESS_THAN = 1;
inline constexpr int CSTR_EQUAL = 2;
inline constexpr int CSTR_GREATER_THAN = 3;

// Compares two texts character by character; with NORM_IGNORECASE each character is first
// replaced by its simple Unicode case fold (so "Straße" and "STRASSE" differ, "ΣΑΣ" and "σας"
// are equal). The order is that of the (folded) code points. A length of -1 means up to the
// NUL terminator. Answers CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, or 0 with
// ERROR_INVALID_PARAMETER for a null text and ERROR_INVALID_FLAGS for a flag other than
// NORM_IGNORECASE. The locale identifier is accepted and does not change the rules.
// The case rules are Unicode's whatever the process locale (they come from C.UTF-8).
int CompareStringW(LCID locale, DWORD flags, const wchar_t* text1, int length1,
                   const wchar_t* text2, int length2);

// The same for narrow texts in the ANSI code page: both are widened (CP_ACP) and compared as
// CompareStringW does. 0 also when a text cannot be widened.
int CompareStringA(LCID locale, DWORD flags, LPCSTR text1, int length1, LPCSTR text2, int length2);

// Whether the character is a letter or a digit in Unicode (iswalnum under C.UTF-8, whatever
// the process locale). "_" is not.
BOOL IsCharAlphaNumericW(wchar_t ch);
