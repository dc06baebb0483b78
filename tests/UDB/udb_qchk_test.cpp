// The single-SELECT check of user queries and view texts: hostile texts refused with the reason,
// legitimate SELECTs (hints, CTEs, keywords in literals, names and comments) accepted.
#include "UDB/udb_qchk.h"

#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "tests/UDB/udb_qchk_cases.h"
#include "tests/support/turkish_locale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cwctype>
#include <string>
#include <utility>

namespace {

using udb_qchk_cases::cases;
using udb_qchk_cases::check_case;

TEST(UdbSingleSelect, RefusesEveryOtherStatementOutsideLiteralsNamesAndComments) {
    for (const check_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(udb_single_select_fault(c.text), c.fault);
    }
}

// Keywords are ASCII words. Under a Turkish locale the C library upper-cases 'i' to U+0130, so a
// check that folds with the locale would pass a lower-case INSERT and refuse a lower-case WITH:
// every case, and its text in lower case, gets the same answer as in the C locale.
TEST(UdbSingleSelect, KeywordsFoldInAsciiWhateverTheLocale) {
    ASSERT_TRUE(test_support::use_turkish_locale());
    ASSERT_EQ(std::towupper(L'i'), 0x130u) << "the locale does not fold as Turkish does";
    for (const check_case& c : cases) {
        std::wstring lower(c.text);
        for (wchar_t& ch : lower)
            ch = tk_ascii_lower(ch);
        for (const std::wstring& text : {std::wstring(c.text), lower}) {
            SCOPED_TRACE(testing::PrintToString(text));
            EXPECT_EQ(udb_single_select_fault(text), c.fault);
        }
    }
    std::setlocale(LC_ALL, "C");
}

// Removing comments leaves what SQL Server runs: nested block comments go whole, a line comment
// up to its line's end, literals and quoted names that look like comments stay.
TEST(UdbSingleSelect, CommentsGoAsSqlServerReadsThem) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"SELECT 1 AS a /* /* */ ; DROP DATABASE victim; -- */", L"SELECT 1 AS a  "},
        {L"SELECT 1 AS a /*!, (SELECT 1) AS leak */", L"SELECT 1 AS a  "},
        {L"-- lead\r\n/* c */SELECT a--x\nFROM t", L" \r\n SELECT a \nFROM t"},
        {L"SELECT '/* x */', [--y], \"/*z*/\" FROM t",
         L"SELECT '/* x */', [--y], \"/*z*/\" FROM t"},
        // A text the check refuses keeps its comments, so that it is refused again later.
        {L"SELECT 1 /* open", L"SELECT 1 /* open"},
        {L"SELECT 1 AS a --x\r, 2 AS leak", L"SELECT 1 AS a --x\r, 2 AS leak"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
        EXPECT_EQ(udb_without_comments(text), expected);
    }
}

TEST(UdbSingleSelect, RefusalNamesTheObjectAndTheReason) {
    try {
        udb_check_single_select(L"View", L"v_orders", L"SELECT 1 DROP DATABASE victim");
        FAIL() << "not refused";
    } catch (const tk_exception& e) {
        EXPECT_STREQ(e.what(), "View 'v_orders' is not a single SELECT statement: it holds the "
                               "keyword DROP");
        EXPECT_EQ(e.level, 1);
    }
    EXPECT_NO_THROW(udb_check_single_select(L"Query", L"q", L"SELECT 1;"));
}

} // namespace
