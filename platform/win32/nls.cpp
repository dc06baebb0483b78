// National-language functions with Unicode's case and character rules.
#include "platform/win32/nls.h"

#include "platform/win32/codepage.h"

#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <locale.h>
#include <string>
#include <wctype.h>

namespace {

// A locale whose character classes and case mappings cover Unicode, whatever the process locale
// (the C locale's cover ASCII alone). Made once and kept for the process's lifetime.
locale_t unicode_locale() {
    static const locale_t locale = [] {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            if (locale_t l = newlocale(LC_CTYPE_MASK, name, nullptr); l != nullptr) {
                return l;
            }
        }
        return duplocale(LC_GLOBAL_LOCALE);
    }();
    return locale;
}

// The simple case fold of a character: its lower case after its upper case, which brings every
// member of a case class (final sigma, the Kelvin sign, ...) to one character.
wchar_t fold(wchar_t c) {
    if (c < 0x80) {
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
    }
    locale_t l = unicode_locale();
    return static_cast<wchar_t>(towlower_l(towupper_l(static_cast<wint_t>(c), l), l));
}

std::size_t length_of(const wchar_t* text, int length) {
    return length == -1 ? std::wcslen(text) : static_cast<std::size_t>(length);
}

int compare_wide(DWORD flags, const wchar_t* a, std::size_t na, const wchar_t* b, std::size_t nb) {
    bool ignore_case = (flags & NORM_IGNORECASE) != 0;
    std::size_t n = na < nb ? na : nb;
    for (std::size_t i = 0; i < n; ++i) {
        wchar_t ca = ignore_case ? fold(a[i]) : a[i];
        wchar_t cb = ignore_case ? fold(b[i]) : b[i];
        if (ca != cb) {
            return static_cast<unsigned>(ca) < static_cast<unsigned>(cb) ? CSTR_LESS_THAN
                                                                         : CSTR_GREATER_THAN;
        }
    }
    if (na == nb) {
        return CSTR_EQUAL;
    }
    return na < nb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

// Narrow text in the ANSI code page widened; false when it cannot be.
bool widen(LPCSTR text, int length, std::wstring& out) {
    std::size_t n = length == -1 ? std::strlen(text) : static_cast<std::size_t>(length);
    if (n == 0) {
        out.clear();
        return true;
    }
    if (n > static_cast<std::size_t>(INT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    out.resize(n); // never more characters than bytes
    int got =
        MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), out.data(), static_cast<int>(n));
    if (got == 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(got));
    return true;
}

} // namespace

LCID GetUserDefaultLCID() {
    return LANG_ENGLISH_US;
}

LCID GetSystemDefaultLCID() {
    return LANG_ENGLISH_US;
}

int CompareStringW(LCID, DWORD flags, const wchar_t* text1, int length1, const wchar_t* text2,
                   int length2) {
    if (text1 == nullptr || text2 == nullptr || length1 < -1 || length2 < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((flags & ~NORM_IGNORECASE) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return compare_wide(flags, text1, length_of(text1, length1), text2, length_of(text2, length2));
}

int CompareStringA(LCID, DWORD flags, LPCSTR text1, int length1, LPCSTR text2, int length2) {
    if (text1 == nullptr || text2 == nullptr || length1 < -1 || length2 < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((flags & ~NORM_IGNORECASE) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    std::wstring a;
    std::wstring b;
    if (!widen(text1, length1, a) || !widen(text2, length2, b)) {
        return 0;
    }
    return compare_wide(flags, a.data(), a.size(), b.data(), b.size());
}

BOOL IsCharAlphaNumericW(wchar_t ch) {
    return iswalnum_l(static_cast<wint_t>(ch), unicode_locale()) ? TRUE : FALSE;
}
