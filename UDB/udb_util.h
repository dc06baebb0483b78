// Name comparison and ordering shared by the neutral database layer.
#pragma once

#include <string>
#include <string_view>

// Equality of two names ignoring case, as the user's locale sees it (CompareStringW with
// LOCALE_USER_DEFAULT and NORM_IGNORECASE answering CSTR_EQUAL). Every name lookup of this layer
// that ignores case uses it, and takes the first match in list order.
bool udb_equal_no_case(std::wstring_view a, std::wstring_view b);

// Ordinal order of UTF-16 code units. Our wide strings are UTF-32; a character above U+FFFF
// sorts as its leading surrogate would, below U+E000, so maps keyed by names walk their entries
// in the same order whatever the width of wchar_t.
struct udb_utf16_less {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};
