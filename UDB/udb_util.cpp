// Name comparison and ordering shared by the neutral database layer.
#include "UDB/udb_util.h"

#include "platform/win32/nls.h"

#include <algorithm>
#include <climits>
#include <cstdint>

bool udb_equal_no_case(std::wstring_view a, std::wstring_view b) {
    if (a.size() > static_cast<std::size_t>(INT_MAX) ||
        b.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

namespace {

// The UTF-16 code units of one character, as one number that orders like them: a character
// above U+FFFF begins with a leading surrogate (0xD800-0xDBFF), which sorts below 0xE000-0xFFFF.
constexpr std::uint32_t utf16_units(wchar_t c) noexcept {
    auto u = static_cast<std::uint32_t>(c);
    if (u <= 0xFFFF) {
        return u << 16;
    }
    std::uint32_t v = u - 0x10000;
    return ((0xD800 + (v >> 10)) << 16) | (0xDC00 + (v & 0x3FF));
}

} // namespace

bool udb_utf16_less::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ib == b.end()) {
        return false;
    }
    if (ia == a.end()) {
        return true;
    }
    return utf16_units(*ia) < utf16_units(*ib);
}
