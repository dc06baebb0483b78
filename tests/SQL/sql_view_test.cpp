// Rewriting of view texts between T-SQL and MySQL.
#include "SQL/sql_view.h"

#include "SQL/sql_db.h"
#include "UDB/udb_nmap.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string narrow(const std::wstring& text) {
    return tk_to_utf8(text);
}

TEST(SqlViewText, RefineIn) {
    struct view_case {
        std::wstring text;
        std::wstring expected;
    };
    const std::vector<view_case> cases = {
        {L"SELECT a FROM t WHERE ISNULL(x,0)=0", L"SELECT a FROM t WHERE ifnull(x,0)=0;"},
        {L"SELECT ISNULL(x, 0, 1)", L"SELECT ISNULL(x, 0, 1);"},
        // getdate keeps the time of day.
        {L"select getdate()", L"select now();"},
        {L"select getdate(), GETDATE()", L"select now(), now();"},
        // len counts characters.
        {L"select LEN(n)", L"select char_length(n);"},
        // A day unit counts day boundaries as DATEDIFF does, from the start to the end.
        {L"select datediff(day, a, b)", L"select datediff(b, a);"},
        {L"select DATEDIFF(dd, f(a, 1), b) x", L"select DATEDIFF(b, f(a, 1)) x;"},
        {L"select datediff(d,a,b)", L"select datediff(b, a);"},
        // Other units keep the unit-dropping rewrite.
        {L"select datediff(month, a, b)", L"select datediff( a, b);"},
        {L"select dateadd(day, 1, d)", L"select dateadd(day, 1, d);"},
        {L"select dateadd(d, 1)", L"select date_add(d, 1);"},
        {L"select replicate('x', 3)", L"select repeat('x', 3);"},
        {L"SELECT [a b].[c] FROM [t]", L"SELECT `a b`.`c` FROM `t`;"},
        {L"SELECT [a`b], [x]]y] FROM t", L"SELECT `a``b`, `x]y` FROM t;"},
        {L"SELECT 'a [b]' FROM t", L"SELECT 'a [b]' FROM t;"},
        {L"SELECT a\r\n   FROM t", L"SELECT a FROM t;"},
        {L"SELECT 'a  \t b' FROM t", L"SELECT 'a  \t b' FROM t;"},
        // A line comment becomes a block comment, so the joined text keeps what follows it.
        {L"SELECT a -- the key\r\nFROM t -- */ tricky\nWHERE b = 1",
         L"SELECT a /* the key*/ FROM t /* * / tricky*/ WHERE b = 1;"},
        {L"SELECT '--not a comment' FROM t", L"SELECT '--not a comment' FROM t;"},
        {L"SELECT /* it's */ a FROM t", L"SELECT /* it's */ a FROM t;"},
        // "+" between texts stays: MySQL reads it as an addition (see the notes).
        {L"SELECT a + ' ' + b FROM t", L"SELECT a + ' ' + b FROM t;"},
    };
    for (const view_case& c : cases) {
        SCOPED_TRACE(narrow(c.text));
        EXPECT_EQ(narrow(sql_view_converter::refine_view_in(c.text, nullptr)), narrow(c.expected));
    }
}

TEST(SqlViewText, TableNamesAreMapped) {
    udb_names_map names;
    names.add_tn_mapping(L"Order Lines", L"order_lines");
    EXPECT_EQ(sql_view_converter::refine_view_in(L"SELECT * FROM [Order Lines]", &names),
              L"SELECT * FROM `order_lines`;");
}

TEST(SqlViewText, IsnullArgumentTest) {
    EXPECT_TRUE(sql_view_converter::check_isnull_for_replace(L"isnull(a, b)", 0));
    EXPECT_FALSE(sql_view_converter::check_isnull_for_replace(L"isnull(f(a, b), c)", 0));
    EXPECT_FALSE(sql_view_converter::check_isnull_for_replace(L"isnull(a)", 0));
    EXPECT_FALSE(sql_view_converter::check_isnull_for_replace(L"isnull(a, b)", -1));
    EXPECT_FALSE(sql_view_converter::check_isnull_for_replace(L"isnull(a, b)", 40));
    EXPECT_FALSE(sql_view_converter::check_isnull_for_replace(L"isnull", 0));
    EXPECT_TRUE(sql_view_converter::check_isnull_for_replace(L"x isnull(a, b)", 2));
}

TEST(SqlViewText, NormalizeSpaces) {
    EXPECT_EQ(sql_view_converter::normalize_spaces(L"\r\n  a \t\n b  "), L" a b ");
    EXPECT_EQ(sql_view_converter::normalize_spaces(L"a \"x  'y\"  'z  \"w'"),
              L"a \"x  'y\" 'z  \"w'");
    EXPECT_EQ(sql_view_converter::normalize_spaces(L""), L"");
}

TEST(SqlViewText, RefineOut) {
    EXPECT_EQ(sql_view_converter::refine_view_out(
                  L"/* ALGORITHM=UNDEFINED */ select `DB1`.`t`.`a` AS `a` from `db1`.`t`", L"db1"),
              L" select `t`.`a` AS `a` from `t`");
    EXPECT_EQ(sql_view_converter::refine_view_out(L"select `d``b`.`t`.`a` from `d``b`.`t`", L"d`b"),
              L"select `t`.`a` from `t`");
    // A "*/" well before the "/*" cuts the text at the "/*".
    EXPECT_EQ(sql_view_converter::refine_view_out(L"a */ b /* c", L"x"), L"a */ b ");
}

} // namespace
