// What a column of a hand-mapped type takes, as the script file judges it without a server,
// against the MariaDB test server itself: generated literals at the edges of each type's length
// or range go into a column of that type under the script's strict sql_mode.
#include "SQL/sql_vlim.h"

#include "SQL/sql_engi.h"
#include "SQL/sql_util.h"
#include "TK/tk_utils.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct column_type {
    const char* type;
    const char* charset;
    // Whether the judge refuses exactly what the server refuses, not more.
    bool exact;
};

const column_type types[] = {
    {"VARCHAR(3)", "utf8mb4", true},
    {"VARCHAR(2)", "utf8mb4", true},
    {"CHAR(3)", "latin1", true},
    {"VARCHAR(3)", "sjis", true},
    // Blanks past the length are refused in the sets of two- and four-byte units; in the former
    // the server still cuts some that follow a zero character.
    {"VARCHAR(3)", "utf16", false},
    {"CHAR(3)", "utf32", true},
    {"VARCHAR(3)", "ucs2", false},
    {"VARCHAR(3)", "binary", true},
    {"CHAR(2)", "binary", true},
    {"TINYTEXT", "binary", true},
    {"NVARCHAR(3)", "latin1", true},
    {"NATIONAL CHAR(2)", "utf8mb4", true},
    {"TINYTEXT", "utf8mb4", true},
    {"TINYTEXT", "latin1", true},
    {"TINYTEXT", "utf16", true},
    {"TINYTEXT", "utf32", true},
    {"TINYTEXT", "ucs2", true},
    {"TINYTEXT", "sjis", false},
    {"TINYTEXT", "ujis", false},
    {"VARBINARY(3)", "utf8mb4", true},
    {"BINARY(3)", "utf8mb4", true},
    {"BINARY(1)", "utf8mb4", true},
    {"TINYBLOB", "utf8mb4", true},
    {"TINYINT", "utf8mb4", false},
    {"TINYINT UNSIGNED", "utf8mb4", false},
    {"SMALLINT", "utf8mb4", false},
    {"MEDIUMINT UNSIGNED", "utf8mb4", false},
    {"BIGINT", "utf8mb4", false},
    {"BIGINT UNSIGNED", "utf8mb4", false},
    {"INT UNSIGNED", "utf8mb4", false},
    {"DECIMAL(4,2)", "utf8mb4", false},
    {"DECIMAL(3,0)", "utf8mb4", false},
    {"DECIMAL(2,2)", "utf8mb4", false},
    {"DECIMAL(5,2) UNSIGNED", "utf8mb4", false},
    {"DECIMAL(3,2)", "utf8mb4", false},
    {"DECIMAL(65,30)", "utf8mb4", false},
    {"FLOAT", "utf8mb4", false},
    {"FLOAT UNSIGNED", "utf8mb4", false},
    {"DOUBLE", "utf8mb4", false},
    {"DOUBLE UNSIGNED", "utf8mb4", false},
    {"DATE", "utf8mb4", false},
    {"DATETIME", "utf8mb4", false},
    {"JSON", "utf8mb4", false},
    {"YEAR", "utf8mb4", false},
    {"TIME", "utf8mb4", false},
    // The spellings of a type that the profile takes: blanks and tabs, lower case,
    // ZEROFILL (which makes a number unsigned), fractional seconds.
    {"DECIMAL ( 4 , 2 )", "utf8mb4", false},
    {"decimal(4 ,2)", "utf8mb4", false},
    {"INT ZEROFILL", "utf8mb4", false},
    {"TINYINT(3) ZEROFILL", "utf8mb4", false},
    {"DECIMAL(4,2) ZEROFILL", "utf8mb4", false},
    {"FLOAT ZEROFILL", "utf8mb4", false},
    {"DOUBLE ZEROFILL", "utf8mb4", false},
    {"TINYINT\tUNSIGNED", "utf8mb4", false},
    {"TINYINT(3)UNSIGNED", "utf8mb4", false},
    {"DECIMAL(4\t,2)", "utf8mb4", false},
    {"INT(5)ZEROFILL", "utf8mb4", false},
    {"tinyint unsigned", "utf8mb4", false},
    {"TIME(3)", "utf8mb4", false},
    {"DATETIME(3)", "utf8mb4", false},
    {"YEAR(4)", "utf8mb4", false},
    {"NATIONAL CHARACTER(2)", "latin1", true},
    {"VARCHAR ( 2 )", "utf8mb4", true},
};

std::string literal(const std::string& value) {
    std::string out = "'";
    append_escaped(out, std::string_view(value));
    return out + "'";
}

// Texts of a few characters and of about 255 bytes from characters of one to four UTF-8 bytes,
// blanks and the escaped ones; numbers about the ends of the integer and decimal types; dates at
// the ends of the years and the months; bytes about a length of 3.
std::vector<std::string> literals() {
    std::vector<std::string> out = {"NULL", "''", "0x00", "0x010203", "0x01020304"};
    const std::vector<std::string> pieces = {"a", " ", "é",  "中", "😀",         "\\",
                                             "'", "ｶ", "\n", "\t", "e\xCC\x81", "👨\u200D👩"};
    std::mt19937 random(20261211);
    for (int i = 0; i < 300; ++i) {
        std::string text;
        const int count =
            i < 150 ? static_cast<int>(random() % 6) : 60 + static_cast<int>(random() % 200);
        for (int k = 0; k < count; ++k) {
            text += pieces[random() % (i % 3 == 0 ? 2 : pieces.size())];
        }
        out.push_back(literal(text));
    }
    // Literals with every escape the server reads, not only those the script writes: \% and \_
    // keep their backslash, a doubled quote is one; and literals that do not end where they seem.
    const std::vector<std::string> escapes = {"\\%", "\\_", "\\n",  "\\t", "\\Z", "\\0",
                                              "''",  "\\'", "\\\\", "a",   " ",   "é",
                                              "\\é", "\\q", "\\r",  "\v",  "\f",  "\\b"};
    for (int i = 0; i < 250; ++i) {
        std::string text = "'";
        for (int k = static_cast<int>(random() % 6); k > 0; --k) {
            text += escapes[random() % escapes.size()];
        }
        out.push_back(text + "'");
    }
    for (const char* odd :
         {"'a'b'", "'ab\\'",     "'\\'", "0x",    "0xZZ",  "0x1",    "0x123",   "0x1234567",
          "1.2.3", ".5",         "-.5",  "5.",    "1-2",   "'0x10'", "'0x1p3'", "'inf'",
          "'nan'", "'infinity'", "' 1'", "'\n1'", "'\t1'", "'1 '"}) {
        out.emplace_back(odd);
    }
    // Numbers about the ends of the ranges and of the rounding of fractions, blank-separated.
    std::istringstream numbers(
        "127 128 -128 -129 255 256 -1 -0 32767 32768 -32769 16777215 16777216 "
        "9223372036854775807 9223372036854775808 -9223372036854775808 -9223372036854775809 "
        "18446744073709551615 18446744073709551616 99.99 99.994 99.995 -99.995 100 999 "
        "999.4 999.5 0.99 0.995 0.5 -0.5 127.4 127.5 -128.5 255.5 1.5 '12' 'ab' '1e3' "
        "3.4e38 3.5e38 -3.5e38 1e308 '2024-02-29' 999.99 -999.99 1000.00 0.01 -0.01 00012 "
        "0.0 1900 1901 2155 2156 99 100 70 69 '2024' '0' '00' '1900' '2156' '69' "
        "+5 +127 -0.0 -0.00 '-0' '-0.0' '-0.00' '+5' '.5' '-.5' '5.' 9.995 -9.995 9.994 '9.995' "
        "'99.995' '127.5' '1.234' 1.5e2 '1.5e2' 1.2800000000000000e+02 9.9995000000000005e+01 "
        "1.0000000000000000e+09 -5.0000000000000000e-01 2.5550000000000000e+02 1e-400 -1e-400 "
        "'-1e-400' 2e-45 -2e-45 3.4028235e38 "
        "3.40282346638528859811704183484516925440e+38 340282356779733661637539395458142568448 "
        "1.7976931348623157e308 1.7976931348623159e308 '1.7976931348623159e308' 1.e5 '1.e5' "
        "18446744073709551615.4 18446744073709551615.5 -9223372036854775808.4 "
        "-9223372036854775808.5 '18446744073709551615.4' '-9223372036854775808.5' 2147483647.5 "
        "4294967295.4 4294967295.5 -0.4 -0.5 '-0.4' 000 0099 00 '0000' '2155' 99999.995 "
        "99999999999999999999999999999999999.999999999999999999999999999999 "
        "99999999999999999999999999999999999.9999999999999999999999999999995 "
        "'99999999999999999999999999999999999.9999999999999999999999999999995' "
        "1e-99999999999 '1e-99999999999' 0e999999999 '0e999999999' 1e99999999999 "
        "'0.0000000000000000000000000000000000000000000000000000000000000000000000000001e76' "
        "3.4028234e38 -3.4028235e38 '+1e5' '-0e0' 4.9e-324 -4.9e-324 2.4e-324 "
        // The largest FLOAT and DOUBLE without an exponent, read as DECIMAL.
        "340282346638528859811704183484516925440 -340282346638528859811704183484516925440.4 "
        "'340282346638528859811704183484516925440' 340282356779733661637539395458142568447 "
        "'17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955"
        "863276687817154045895351438246423432132688946418276846754670353751698604991057655128207624"
        "549009038932894407586850845513394230458323690322294816580855933212334827479782620414472316"
        "8738177180919299881250404026184124858368' "
        "-17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955"
        "863276687817154045895351438246423432132688946418276846754670353751698604991057655128207624"
        "549009038932894407586850845513394230458323690322294816580855933212334827479782620414472316"
        "8738177180919299881250404026184124858368");
    for (std::string number; numbers >> number;) {
        out.push_back(number);
    }
    // JSON texts: valid ones, broken ones, and pieces put together at random.
    const std::vector<std::string> json_pieces = {"{",           "}",
                                                  "[",           "]",
                                                  "\"a\"",       ":",
                                                  ",",           "1",
                                                  "-0.5e3",      "true",
                                                  "null",        " ",
                                                  "\"\\u00e9\"", "\"\\ud83d\\ude00\"",
                                                  "\"\\ud83d\"", "01",
                                                  "1.",          "\"\t\"",
                                                  "'x'",         "é"};
    const std::string deep_objects = [] {
        std::string text;
        for (int i = 0; i < 32; ++i) {
            text += "{\"a\":";
        }
        return text + "1" + std::string(32, '}');
    }();
    const std::string digits_100 = "1" + std::string(99, '0');
    out.push_back(literal(deep_objects));
    out.push_back(literal("{\"b\":" + deep_objects + "}"));
    out.push_back(literal(digits_100));
    // A number behind a hundred zeros.
    const std::string zeros_1 = std::string(100, '0') + "1";
    for (const std::string& number : {zeros_1, "-" + zeros_1, "0." + zeros_1, "-0." + zeros_1}) {
        out.push_back(number);
        out.push_back("'" + number + "'");
    }
    out.push_back(literal("[" + digits_100 + "." + digits_100 + "]"));
    // JSON written with the server's escapes: a line break it reads into a string is refused,
    // between the parts it is a blank.
    for (const char* json : {"'\"a\\nb\"'", "'{\\n\"a\": 1\\n}'", "'[1,\\t2]'", "'\"a\\%\"'",
                             "'\"\\\\u0000\"'", "'\"\\0\"'", "'[1]\\Z'", "'\"a''b\"'"}) {
        out.emplace_back(json);
    }
    for (const char* json : {"{}",
                             "[]",
                             "{\"a\": [1, 2.5e3, \"x\", null, true]}",
                             "{\"a\": 1",
                             "\"s\"",
                             "12",
                             "",
                             "[1,]",
                             "{\"a\":1,\"a\":2}",
                             "1e400",
                             "123456789012345678901234567890",
                             "-",
                             "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
                             "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
                             " [ 1 ] ",
                             "\"a\\qb\"",
                             "\xEF\xBB\xBFnull",
                             "NaN",
                             "Infinity",
                             "{\"a\":1,}",
                             "\"\x7F\"",
                             "\"\\udc00\"",
                             "\"\\ud800\\u0041\"",
                             "1e99",
                             "1e100",
                             "-0",
                             "1E+05",
                             "[1e-99]",
                             "12345678901234567890",
                             "123456789012345",
                             "0.123456789012345",
                             "\"\\uffff\"",
                             "\"\\uD83D\\uDE00\"",
                             "[\"\\u0000\"]",
                             "{\"\":0}",
                             "[-0.0e-0]",
                             "[0e0]",
                             "\"\\/\\b\\f\"",
                             "\"\xC2\x80\xEF\xBF\xBF\"",
                             "{\"a\" : [ ] , \"b\" : { } }",
                             "[1,2]]",
                             "[1 2]",
                             "{\"a\" 1}",
                             "\"a",
                             "tru",
                             "nul",
                             "true false"}) {
        out.push_back(literal(json));
    }
    for (int i = 0; i < 400; ++i) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 7);
        for (int k = 0; k < count; ++k) {
            text += json_pieces[random() % json_pieces.size()];
        }
        out.push_back(literal(text));
    }
    for (const char* date : {"'1000-01-01'",
                             "'0999-12-31'",
                             "'9999-12-31 23:59:59'",
                             "'9999-12-31 23:59:59.5'",
                             "'2024-02-29 13:45:30.123456'",
                             "'2023-02-29'",
                             "'2024-04-31'",
                             "'2024-13-01'",
                             "'2024-01-01 24:00:00'",
                             "'2024-01-01 23:60:00'",
                             "'1753-01-01 00:00:00'",
                             "'2024-1-1'",
                             "'2024-01-01T10:00:00'",
                             "'13:45:30'",
                             "'13:45:30.123456'",
                             "'13:45:30.1234567'",
                             "'838:59:59'",
                             "'838:59:59.5'",
                             "'839:00:00'",
                             "'1:02:03'",
                             "'24:00:00'",
                             "'12:60:00'",
                             "'12:00'",
                             "'-01:00:00'",
                             "'1 12:00:00'",
                             "'0000-00-00'",
                             "'2024-02-30'",
                             "'1900-02-29'",
                             "'2000-02-29'",
                             "'9999-12-31 23:59:59.9999995'",
                             "'9999-12-31 23:59:59.999999'",
                             "'2024-01-01 10:00:00'",
                             "'2024-01-01 00:00:00.5'",
                             "'0999-12-31 23:59:59'",
                             "'838:59:59.9999999'",
                             "'838:59:59.999999'",
                             "'-838:59:59'",
                             "'000:00:00'",
                             "'0:0:0'",
                             "'23:59:59.999999'",
                             "'2024-01-01 '",
                             "'2024-01-01\\n'"}) {
        out.emplace_back(date);
    }
    return out;
}

class ValueLimit : public sql_test::plain_client_test {
protected:
    bool run(const std::string& statement) { return mysql_query(&mysql_, statement.c_str()) == 0; }
};

// Soundness: a literal the server refuses is refused by the judge (or, for a character the set
// cannot store, by the set's repertoire). Where the judge counts as the server does, it refuses
// nothing the server takes.
TEST_F(ValueLimit, RefusesWhatTheServerRefuses) {
    ASSERT_TRUE(run("DROP DATABASE IF EXISTS velmora_vlim"));
    ASSERT_TRUE(run("CREATE DATABASE velmora_vlim"));
    ASSERT_TRUE(run("SET SESSION sql_mode = 'NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,"
                    "NO_ENGINE_SUBSTITUTION'"));
    const std::vector<std::string> values = literals();
    for (const column_type& c : types) {
        SCOPED_TRACE(std::string(c.type) + " in " + c.charset);
        const std::wstring type = tk_utf8_to_wstring(c.type);
        const std::wstring charset = tk_utf8_to_wstring(c.charset);
        const sql_value_limit limit(type, charset);
        ASSERT_TRUE(limit.judges());
        const sql_charset_repertoire repertoire(limit.national() ? L"utf8mb3" : charset);
        ASSERT_TRUE(run("DROP TABLE IF EXISTS velmora_vlim.t"));
        ASSERT_TRUE(run(std::string("CREATE TABLE velmora_vlim.t (v ") + c.type +
                        ") CHARACTER SET " + c.charset))
            << mysql_error(&mysql_);
        for (const std::string& value : values) {
            const bool taken = run("INSERT INTO velmora_vlim.t VALUES (" + value + ")");
            const std::string refusal = limit.refusal(value);
            const bool unstorable =
                repertoire.checks() &&
                repertoire.first_unstorable(value, sql_charset_repertoire::form::literal) >= 0;
            if (!taken) {
                EXPECT_TRUE(!refusal.empty() || unstorable)
                    << value << ": " << mysql_error(&mysql_);
            } else if (c.exact && !unstorable &&
                       (value[0] == '\'' || (value.rfind("0x", 0) == 0 &&
                                             limit.what() == sql_value_limit::kind::bytes))) {
                // A bare number goes into a text column as the server's text of it, and bytes
                // as a text in its set, which the judge does not compute (00012 is "12"): such
                // a value may be refused that the server takes.
                EXPECT_EQ(refusal, "") << value;
            }
        }
    }
    run("DROP DATABASE velmora_vlim");
}

// A type whose refusals only the server tells is named so; national types are told apart.
TEST(ValueLimitTypes, UnjudgedAndNationalTypes) {
    for (const wchar_t* type :
         {L"YEAR(2)", L"TIMESTAMP", L"ENUM('a')", L"BIT(1)", L"NATIONAL TEXT", L"FLOAT(7,2)"}) {
        EXPECT_EQ(sql_value_limit(type, L"utf8mb4").what(), sql_value_limit::kind::unjudged)
            << tk_to_utf8(type);
    }
    // The judges that may refuse more than the server take the values at their edges.
    const struct {
        const wchar_t* type;
        const char* literal;
    } taken[] = {
        {L"TIME", "'838:59:59'"},
        {L"TIME", "'13:45:30.123456'"},
        {L"YEAR", "2155"},
        {L"YEAR", "'1901'"},
        {L"DATE", "'2024-02-29'"},
        {L"DATETIME", "'9999-12-31 23:59:59'"},
        {L"DECIMAL(4,2)", "99.994"},
        {L"DECIMAL(4,2)", "-99.99"},
        {L"TINYINT", "127.4"},
        {L"TINYINT UNSIGNED", "-0"},
        {L"BIGINT UNSIGNED", "18446744073709551615"},
        {L"FLOAT", "3.4e38"},
        // Floating-point values as the writer gives them, into numbers mapped narrower.
        {L"DECIMAL(10,2)", "1.2500000000000000e+00"},
        {L"DECIMAL(10,2)", "-9.9999989999999997e+07"},
        {L"DECIMAL(4,2)", "5.0000000000000000e-01"},
        {L"TINYINT", "1.2700000000000000e+02"},
        {L"TINYINT UNSIGNED", "2.5500000000000000e+02"},
        {L"INT", "1.0000000000000000e-300"},
    };
    for (const auto& [type, text] : taken) {
        EXPECT_EQ(sql_value_limit(type, L"utf8mb4").refusal(text), "")
            << tk_to_utf8(type) << " " << text;
    }
    const sql_value_limit json(L"JSON", L"utf8mb4");
    // As the script writes them: a backslash of the text doubled.
    for (const char* text : {R"('{}')", R"('[1, "a\\"b"]')", R"('{"a": -0.5e3}')", R"(' null ')"}) {
        EXPECT_EQ(json.refusal(text), "") << text;
    }
    for (const wchar_t* type : {L"LONGTEXT", L"LONGBLOB"}) {
        EXPECT_FALSE(sql_value_limit(type, L"utf8mb4").judges());
    }
    for (const wchar_t* type : {L"NCHAR(2)", L"NVARCHAR(2)", L"NATIONAL VARCHAR(2)",
                                L"NCHAR VARYING(2)", L"NATIONAL CHAR VARYING(2)"}) {
        const sql_value_limit limit(type, L"latin1");
        EXPECT_TRUE(limit.national()) << tk_to_utf8(type);
        EXPECT_EQ(limit.what(), sql_value_limit::kind::characters) << tk_to_utf8(type);
    }
}

} // namespace
