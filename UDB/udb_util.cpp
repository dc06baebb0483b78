// Name comparison and ordering shared by the neutral database layer.
#include "UDB/udb_util.h"

#include "TK/tk_yaml.h"
#include "platform/win32/nls.h"

#include <climits>

bool udb_equal_no_case(std::wstring_view a, std::wstring_view b) {
    if (a.size() > static_cast<std::size_t>(INT_MAX) ||
        b.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool udb_utf16_less::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return tk_utf16_order()(a, b);
}
