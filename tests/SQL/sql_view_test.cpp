// Rewriting of view texts between T-SQL and MySQL.
#include "SQL/sql_view.h"

#include "SQL/sql_db.h"
#include "TK/tk_excep.h"
#include "UDB/udb_nmap.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <random>

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
        // getdate keeps the time of day.
        {L"select getdate()", L"select now();"},
        {L"select getdate(), GETDATE ( )", L"select now(), now();"},
        // LEN counts characters and leaves out trailing blanks.
        {L"select LEN(n)", L"select char_length(rtrim(n));"},
        // A day unit counts day boundaries as DATEDIFF does, from the start to the end.
        {L"select datediff(day, a, b)", L"select datediff(b, a);"},
        {L"select DATEDIFF(dd, abs(a), b) x", L"select datediff(b, abs(a)) x;"},
        {L"select datediff(d,a,b)", L"select datediff(b, a);"},
        {L"select datediff(month, a, b)",
         L"select ((year(b) - year(a)) * 12 + month(b) - month(a));"},
        {L"select dateadd(day, 1, d)", L"select timestampadd(DAY, 1, d);"},
        {L"select DATEADD(mi, -5, d)", L"select timestampadd(MINUTE, -5, d);"},
        {L"select replicate('x', 3)", L"select repeat('x', 3);"},
        {L"SELECT [a b].[c] FROM [t]", L"SELECT `a b`.`c` FROM `t`;"},
        {L"SELECT [a`b], [x]]y] FROM t", L"SELECT `a``b`, `x]y` FROM t;"},
        {L"SELECT 'a [b]' FROM t", L"SELECT 'a [b]' FROM t;"},
        {L"SELECT a\r\n   FROM t", L"SELECT a FROM t;"},
        {L"SELECT 'a  \t b' FROM t", L"SELECT 'a  \t b' FROM t;"},
        {L"SELECT '--not a comment' FROM t", L"SELECT '--not a comment' FROM t;"},
        // Texts are joined, integers divided as integers.
        {L"SELECT 'a' + ' ' + N'b', 7 / 2 AS h", L"SELECT CONCAT('a', ' ', N'b'), 7 DIV 2 AS h;"},
        {L"SELECT CAST(1 AS varchar(5)) + 'x'", L"SELECT CONCAT(CAST(1 AS CHAR(5)), 'x');"},
        {L"SELECT CONVERT(nvarchar(10), 'abc'), CAST('2024-01-02' AS date)",
         L"SELECT CAST('abc' AS CHAR(10)), CAST('2024-01-02' AS DATE);"},
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
        // SQL Server reads a name there, MySQL a literal.
        {L"SELECT \"a\\\" , 1 AS b",
         "!The view cannot be carried over to MySQL: it holds a text in double quotes, which SQL "
         "Server reads as a name and MySQL as a literal"},
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
            EXPECT_EQ(narrow(sql_view_text_for_mysql(c.text, nullptr, {})), c.expected);
        } catch (const tk_exception& e) {
            EXPECT_EQ("!" + std::string(e.what()), c.expected);
            EXPECT_EQ(e.level, 0);
        }
    }
    EXPECT_EQ(sql_view_text_for_mysql(L" WITH x AS (SELECT 1 AS a) SELECT a FROM x", nullptr,
                                      {L"", nullptr, true}),
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

// What the view computes in MySQL is what SQL Server computes: "+" joins texts and adds numbers,
// "/" divides integers as integers, LEN leaves out trailing blanks; where the rewriting cannot
// tell the operands' types, or knows no MySQL form of a function, type or word, the view is
// refused rather than created with other values.
TEST(SqlViewText, CodeIsCarriedWithItsValuesOrRefused) {
    using k = sql_value_kind;
    const sql_column_kinds columns = {
        {L"customers",
         {{L"id", k::integer},
          {L"name", k::text},
          {L"city", k::text},
          {L"price", k::exact},
          {L"born", k::temporal},
          {L"ratio", k::approximate}}},
        {L"orders", {{L"id", k::integer}, {L"qty", k::integer}, {L"note", k::text}}},
    };
    const std::string no = "!The view cannot be carried over to MySQL: ";
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"SELECT name + N' from ' + city AS label FROM customers",
         "SELECT CONCAT(name, N' from ', city) AS label FROM customers;"},
        {L"SELECT CAST(id AS varchar(5)) + 'x' FROM customers",
         "SELECT CONCAT(CAST(id AS CHAR(5)), 'x') FROM customers;"},
        {L"SELECT id / 2 AS half, 7 / 2 AS h FROM customers",
         "SELECT id DIV 2 AS half, 7 DIV 2 AS h FROM customers;"},
        {L"SELECT LEN(city + '  ') FROM customers",
         "SELECT char_length(rtrim(CONCAT(city, '  '))) FROM customers;"},
        {L"SELECT c.id + o.qty * 2, o.note + c.name FROM customers c JOIN orders o ON c.id = o.id",
         "SELECT c.id + o.qty * 2, CONCAT(o.note, c.name) FROM customers c JOIN orders o ON c.id "
         "= o.id;"},
        {L"SELECT [name] + ISNULL(city, '') FROM [customers]",
         "SELECT CONCAT(`name`, ifnull(city, '')) FROM `customers`;"},
        {L"SELECT DATEADD(day, 1, born), CAST(name AS nvarchar(10)) FROM customers",
         "SELECT timestampadd(DAY, 1, born), CAST(name AS CHAR(10)) FROM customers;"},
        {L"SELECT ratio / 2, price * 2 FROM customers",
         "SELECT ratio / 2, price * 2 FROM customers;"},
        {L"SELECT (id + 1) / 2 FROM customers", "SELECT (id + 1) DIV 2 FROM customers;"},
        // Operands of no known type.
        {L"SELECT price / 2 FROM customers", no + "it divides values that the rewriting cannot "
                                                  "tell as both integers or as floating-point "
                                                  "numbers (SQL Server and MySQL divide them "
                                                  "otherwise)"},
        {L"SELECT id + name FROM customers",
         no + "it joins with \"+\" or \"-\" values whose types the rewriting cannot tell as all "
              "texts or all numbers: id + name"},
        {L"SELECT x + 1 FROM elsewhere",
         no + "it joins with \"+\" or \"-\" values whose types the rewriting cannot tell as all "
              "texts or all numbers: x + 1"},
        {L"SELECT id + 1 AS id2, id2 + 1 FROM customers",
         no + "it joins with \"+\" or \"-\" values whose types the rewriting cannot tell as all "
              "texts or all numbers: id2 + 1"},
        {L"SELECT born + 1 FROM customers",
         no + "it joins with \"+\" or \"-\" values whose types the rewriting cannot tell as all "
              "texts or all numbers: born + 1"},
        {L"SELECT CAST(born AS varchar(20)) FROM customers",
         no + "it casts to varchar a value whose type the rewriting cannot tell, or which SQL "
              "Server would convert otherwise"},
        // Functions, types and words MySQL has not, or has with other values.
        {L"SELECT PATINDEX('%a%', name) FROM customers",
         no + "it calls PATINDEX with 2 argument(s), which the rewriting does not carry"},
        {L"SELECT LOAD_FILE('/etc/passwd')",
         no + "it calls LOAD_FILE with 1 argument(s), which the rewriting does not carry"},
        {L"SELECT CAST(name AS xml) FROM customers",
         no + "it casts to xml, which the rewriting does not carry"},
        {L"SELECT CONVERT(varchar(10), born, 103) FROM customers",
         no + "a CONVERT with a style, which MySQL does not take"},
        {L"SELECT TOP 1 id FROM customers",
         no + "it holds TOP, which MySQL does not read as SQL Server does"},
        {L"SELECT id FROM customers WITH (NOLOCK)",
         no + "it holds WITH, which MySQL does not read as SQL Server does"},
        {L"SELECT DATEDIFF(hour, born, born) FROM customers",
         no + "it calls DATEDIFF with the date part hour, which MySQL counts otherwise"},
        {L"SELECT SUBSTRING(name, 0, 2) FROM customers",
         no + "it calls SUBSTRING with a start that is not a number from 1 on"},
        {L"SELECT id FROM customers WHERE id & 1 = 1",
         no + "it holds the operator &, which the rewriting does not carry"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(narrow(text));
        sql_view_target target;
        target.columns = &columns;
        try {
            EXPECT_EQ(narrow(sql_view_text_for_mysql(text, nullptr, target)), expected);
        } catch (const tk_exception& e) {
            EXPECT_EQ("!" + std::string(e.what()), expected);
            EXPECT_EQ(e.level, 0);
        }
    }
}

// A view never reaches outside the destination: every way MySQL reads a name as qualified by a
// database (three parts, a table reference, a call, with backquotes and blanks) names the
// destination or is refused; a table's or an alias's qualifier is no database.
TEST(SqlViewText, NamesOutsideTheDestinationAreFound) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"SELECT a FROM t WHERE t.a = 1", ""},
        {L"SELECT c.a, c.* FROM t AS c JOIN u d ON c.a = d.b, v", ""},
        {L"SELECT a FROM dest.t JOIN `dest`.u ON t.a = u.a", ""},
        {L"SELECT dest.t.a FROM .t", ""},
        {L"SELECT `mysql` FROM t WHERE `mysql`.x = 1", ""},
        {L"SELECT User FROM mysql.user", "it names mysql.user, which lies outside the destination "
                                         "database"},
        {L"SELECT User FROM `mysql`.`user`",
         "it names `mysql`.`user`, which lies outside the destination database"},
        {L"SELECT User FROM mysql . user", "it names mysql.user, which lies outside the "
                                           "destination database"},
        {L"SELECT mysql.global_priv.Priv FROM t",
         "it names mysql.global_priv.Priv, which lies outside the destination database"},
        {L"SELECT a FROM t, information_schema.tables",
         "it names information_schema.tables, which lies outside the destination database"},
        {L"SELECT a FROM (t, performance_schema.threads)",
         "it names performance_schema.threads, which lies outside the destination database"},
        {L"SELECT a FROM t LEFT JOIN sys.version ON 1 = 1",
         "it names sys.version, which lies outside the destination database"},
        {L"SELECT sys.format_bytes(1)",
         "it names sys.format_bytes, which lies outside the destination database"},
        {L"SELECT (SELECT Priv FROM mysql.global_priv LIMIT 1) AS p",
         "it names mysql.global_priv, which lies outside the destination database"},
        {L"SELECT a FROM t WHERE a IN (SELECT b FROM other.u)",
         "it names other.u, which lies outside the destination database"},
        {L"SELECT a FROM Dest.t", "it names Dest.t, which lies outside the destination database"},
        {L"SELECT a FROM `de``st`.t",
         "it names `de``st`.t, which lies outside the destination database"},
        // Words of the SELECT grammar that MySQL does not reserve name a database before a ".".
        {L"SELECT x FROM end.secret", "it names end.secret, which lies outside the destination "
                                      "database"},
        {L"SELECT end.secret.x FROM t",
         "it names end.secret.x, which lies outside the destination database"},
        {L"SELECT a FROM t JOIN full . secret ON 1 = 1",
         "it names full.secret, which lies outside the destination database"},
        {L"SELECT a FROM t, escape.u", "it names escape.u, which lies outside the destination "
                                       "database"},
        {L"SELECT Some.f(1)", "it names Some.f, which lies outside the destination database"},
        // "0x" and more than hex digits is a name to MySQL, not a number.
        {L"SELECT x FROM 0xzz.t", "it names 0xzz.t, which lies outside the destination database"},
        {L"SELECT 0Xfg.t.x FROM t",
         "it names 0Xfg.t.x, which lies outside the destination database"},
        {L"SELECT 0x1F AS a, x FROM t", ""},
        // MySQL 8 reads a table after TABLE, in a subquery as well.
        {L"SELECT a FROM t WHERE a IN (TABLE mysql.u)",
         "it names mysql.u, which lies outside the destination database"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(narrow(text));
        EXPECT_EQ(narrow(sql_foreign_qualifier_fault(text, L"dest")), expected);
    }
    // T-SQL's forms of the same names, through the whole rewriting.
    for (const wchar_t* text :
         {L"SELECT [User] AS u, [Password] AS h FROM mysql.[user]",
          L"SELECT x FROM [srcdb].[dbo].[t]", L"SELECT mysql.global_priv.[User] FROM t",
          L"SELECT a FROM t JOIN [mysql] . [user] ON 1 = 1"}) {
        SCOPED_TRACE(narrow(text));
        sql_view_target target;
        target.database = L"dest";
        try {
            sql_view_text_for_mysql(text, nullptr, target);
            ADD_FAILURE() << "not refused";
        } catch (const tk_exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("The view reaches outside the destination "
                                                  "database: it names ",
                                                  0),
                      0u)
                << e.what();
        }
    }
}

// A rename applies to a function called in code, never inside a name, a literal or a longer
// word. Generated select lists mix each kind of piece; the oracle is what each piece becomes on
// its own.
TEST(SqlViewText, RenamesTouchOnlyCallsInCode) {
    const std::pair<std::wstring, std::wstring> kept[] = {
        {L"last_getdate", L"last_getdate"},
        {L"replicated_at", L"replicated_at"},
        {L"isnull_flag", L"isnull_flag"},
        {L"xlen", L"xlen"},
        {L"datediffs", L"datediffs"},
        {L"[getdate]", L"`getdate`"},
        {L"[len(]", L"`len(`"},
        {L"t.isnull", L"t.isnull"},
        {L"'getdate()'", L"'getdate()'"},
        {L"N'isnull(a, b)'", L"N'isnull(a, b)'"},
        {L"'replicate(''x'', 2) len( '", L"'replicate(''x'', 2) len( '"},
        {L"'dateadd(day, 1, d)'", L"'dateadd(day, 1, d)'"},
    };
    const std::pair<std::wstring, std::wstring> renamed[] = {
        {L"getdate()", L"now()"},
        {L"isnull(a, 0)", L"ifnull(a, 0)"},
        {L"len(a)", L"char_length(rtrim(a))"},
        {L"replicate('getdate', 2)", L"repeat('getdate', 2)"},
        {L"datediff(day, a, b)", L"datediff(b, a)"},
        {L"dateadd(year, 2, a)", L"timestampadd(YEAR, 2, a)"},
        {L"isnull(last_getdate, replicated_at)", L"ifnull(last_getdate, replicated_at)"},
    };
    std::mt19937 random(20261211);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    for (int round = 0; round < 500; ++round) {
        std::wstring text = L"SELECT ";
        std::wstring expected = L"SELECT ";
        const std::size_t items = 1 + pick(6);
        for (std::size_t i = 0; i < items; ++i) {
            const bool keep = pick(2) == 0;
            auto [item, result] =
                keep ? kept[pick(std::size(kept))] : renamed[pick(std::size(renamed))];
            // Words in code in any letter case: a kept one stays as written, a call is renamed.
            if (pick(2) == 0 && std::iswalpha(item.front()) && item.front() != L'N') {
                const std::size_t end = keep ? item.size() : item.find(L'(');
                for (std::size_t c = 0; c < end; ++c) {
                    item[c] = static_cast<wchar_t>(std::towupper(item[c]));
                }
                if (keep) {
                    result = item;
                }
            }
            const std::wstring alias = pick(3) == 0 ? L" AS getdate_len" : L"";
            text += (i > 0 ? L", " : L"") + item + alias;
            expected += (i > 0 ? L", " : L"") + result + alias;
        }
        text += L" FROM t";
        expected += L" FROM t;";
        SCOPED_TRACE(narrow(text));
        EXPECT_EQ(narrow(sql_view_converter::refine_view_in(text, nullptr)), narrow(expected));
    }
}

TEST(SqlViewText, NormalizeSpaces) {
    EXPECT_EQ(sql_view_converter::normalize_spaces(L"\r\n  a \t\n b  "), L" a b ");
    EXPECT_EQ(sql_view_converter::normalize_spaces(L"a \"x  'y\"  'z  \"w'"),
              L"a \"x  'y\" 'z  \"w'");
    EXPECT_EQ(sql_view_converter::normalize_spaces(L""), L"");
    // A line comment becomes a block comment, so the joined text keeps what follows it.
    EXPECT_EQ(sql_view_converter::normalize_spaces(
                  L"SELECT a -- the key\r\nFROM t -- */ tricky\nWHERE b = 1"),
              L"SELECT a /* the key*/ FROM t /* * / tricky*/ WHERE b = 1");
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
