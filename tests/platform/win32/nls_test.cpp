// Locale identifiers, case-insensitive comparison and character classes.
#include "platform/win32/nls.h"

#include <gtest/gtest.h>

namespace {

TEST(Nls, LocalesAreEnglishUnitedStates) {
    EXPECT_EQ(GetUserDefaultLCID(), 1033u);
    EXPECT_EQ(GetSystemDefaultLCID(), 1033u);
}

TEST(Nls, CompareStringWIgnoresCaseByUnicodeFolds) {
    struct compare_case {
        const wchar_t* a;
        const wchar_t* b;
        int ignoring_case;
        int exact;
    };
    const compare_case cases[] = {
        {L"Table", L"tABLE", CSTR_EQUAL, CSTR_LESS_THAN},
        {L"\u00c9t\u00e9", L"\u00e9T\u00c9", CSTR_EQUAL, CSTR_LESS_THAN},
        {L"\u03a3\u0391\u03a3", L"\u03c3\u03b1\u03c2", CSTR_EQUAL, CSTR_LESS_THAN},
        {L"\u0416", L"\u0436", CSTR_EQUAL, CSTR_LESS_THAN},
        {L"abc", L"abd", CSTR_LESS_THAN, CSTR_LESS_THAN},
        {L"ab", L"abc", CSTR_LESS_THAN, CSTR_LESS_THAN},
        {L"abc", L"AB", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
        {L"", L"", CSTR_EQUAL, CSTR_EQUAL},
        {L"Stra\u00dfe", L"STRASSE", CSTR_GREATER_THAN, CSTR_GREATER_THAN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << testing::PrintToString(std::wstring(c.a))
                                        << "' vs '" << testing::PrintToString(std::wstring(c.b)));
        EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, c.a, -1, c.b, -1),
                  c.ignoring_case);
        EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0, c.a, -1, c.b, -1), c.exact);
    }
}

TEST(Nls, CompareStringHonoursLengthsAndRefusesBadInput) {
    EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, L"SELECT *", 6, L"select", -1),
              CSTR_EQUAL);
    EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, nullptr, -1, L"x", -1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CompareStringW(LOCALE_USER_DEFAULT, 0x1000, L"x", -1, L"x", -1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "CREATE FUNCTION x", 16,
                             "create function ", -1),
              CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, nullptr, 0, "", -1), 0);
}

TEST(Nls, AlphaNumericCoversUnicodeLettersAndDigits) {
    for (wchar_t c : {L'a', L'Z', L'7', L'\u00e9', L'\u0416', L'\u4e2d', L'\u0663'}) {
        SCOPED_TRACE(static_cast<unsigned>(c));
        EXPECT_TRUE(IsCharAlphaNumericW(c));
    }
    for (wchar_t c : {L'_', L' ', L'-', L'$', L'\u00a0', L'\u2014'}) {
        SCOPED_TRACE(static_cast<unsigned>(c));
        EXPECT_FALSE(IsCharAlphaNumericW(c));
    }
}

} // namespace
