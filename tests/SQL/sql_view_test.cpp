// Rewriting of view texts between T-SQL and MySQL.
#include "SQL/sql_view.h"

#include "SQL/sql_db.h"
#include "TK/tk_excep.h"
#include "UDB/udb_nmap.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
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

// What reaches MySQL is the SELECT both grammars read alike: comments that T-SQL and MySQL end
// in different places, or that MySQL runs, are gone; a backslash cannot move a literal's end;
// what still reads otherwise is refused with the reason.
TEST(SqlViewText, TextForMysqlReadsAsTheCheckedSelect) {
    struct view_case {
        std::wstring text;
        std::string expected; // the view's text, or the refusal when it begins with "!"
    };
    const std::vector<view_case> cases = {
        {L"SELECT 1 AS a /* /* */ ; DROP DATABASE victim; -- */", "SELECT 1 AS a;"},
        {L"SELECT 1 AS a /*!, (SELECT GROUP_CONCAT(User,0x3a,Password) FROM mysql.user) AS "
         L"leak */",
         "SELECT 1 AS a;"},
        {L"SELECT 1 AS a /*M!100000 , (SELECT 2) AS leak */", "SELECT 1 AS a;"},
        {L"SELECT 1 --1\r; DROP DATABASE victim; SELECT 2",
         "!The view text is not a single SELECT statement: it holds a \"--\" comment that a "
         "carriage return alone ends, which readers take differently"},
        {L"SELECT 1 AS a --x\r, (SELECT User FROM mysql.user) AS leak",
         "!The view text is not a single SELECT statement: it holds a \"--\" comment that a "
         "carriage return alone ends, which readers take differently"},
        {L"\r\n-- a view\n/* of one */ select 1 AS a", "select 1 AS a;"},
        {L"SELECT 1 AS a /*M!, 2 AS leak */; /*! DROP DATABASE victim */ ;\n", "SELECT 1 AS a;"},
        {L"SELECT 1 AS a --x\n, 2 AS b", "SELECT 1 AS a , 2 AS b;"},
        {L"SELECT 'C:\\' AS p, '; DROP DATABASE victim; -- ' AS q",
         "SELECT 'C:\\\\' AS p, '; DROP DATABASE victim; -- ' AS q;"},
        {L"SELECT 'a\\'' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak, ' AS b",
         "SELECT 'a\\\\'' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak, ' AS b;"},
        {L"SELECT \"a\\\" , 1 AS b", "SELECT \"a\\\\\" , 1 AS b;"},
        {L"SELECT #'\n, (SELECT 2) AS leak -- '",
         "!The view text reads otherwise in MySQL: it holds a comment"},
        {L"SELECT 1 AS a ]', (SELECT 2) AS leak, ]'",
         "!The view text is not a single SELECT statement: it holds a \"]\" that closes no name"},
        // A rewriting inside a literal would move its end.
        {L"SELECT 'datediff(', ', (SELECT 2) AS leak, ', 'x,'", "SELECT 'datediff(', ', (SELECT "
                                                                "2) AS leak, ', 'x,';"},
        {L"SELECT [it's], ' isnull(a, b)' AS c", "SELECT `it's`, ' isnull(a, b)' AS c;"},
        {L"WITH x AS (SELECT 1 AS a) SELECT a FROM x",
         "!The view begins with WITH, which only MySQL 8.0 and MariaDB 10.2 and later take in a "
         "view"},
        {L"-- no view\n", "!The view text is not a single SELECT statement: it does not begin "
                          "with SELECT or WITH"},
    };
    for (const view_case& c : cases) {
        SCOPED_TRACE(narrow(c.text));
        try {
            EXPECT_EQ(narrow(sql_view_text_for_mysql(c.text, nullptr, false)), c.expected);
        } catch (const tk_exception& e) {
            EXPECT_EQ("!" + std::string(e.what()), c.expected);
            EXPECT_EQ(e.level, 0);
        }
    }
    EXPECT_EQ(sql_view_text_for_mysql(L" WITH x AS (SELECT 1 AS a) SELECT a FROM x", nullptr, true),
              L"WITH x AS (SELECT 1 AS a) SELECT a FROM x;");
}

// The reading of the rewritten text is the last guard: whatever a rewriting made of a text, MySQL
// runs no comment, no second statement and no keyword of another one.
TEST(SqlViewText, MysqlReadingRefusesWhatTheCheckWouldNotSee) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"SELECT 1 AS a;", ""},
        {L"SELECT 'it''s \\' x', \"q\\\"\", `a``b`, 1--1 FROM t;", ""},
        {L"SELECT 1 /*!, 2 */;", "it holds a comment"},
        {L"SELECT 1 # x", "it holds a comment"},
        {L"SELECT 1 -- x", "it holds a comment"},
        {L"SELECT 1 --", "it holds a comment"},
        {L"SELECT 'a\\'; DROP DATABASE victim; '';", "it holds an unclosed literal"},
        {L"SELECT 'a\\\\'; DROP DATABASE victim; '';", "another statement follows its \";\""},
        {L"SELECT `a", "it holds an unclosed quoted name"},
        {L"SELECT 1--1 DELETE FROM t", "it holds the keyword DELETE"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(narrow(text));
        EXPECT_EQ(narrow(sql_mysql_reading_fault(text)), expected);
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
