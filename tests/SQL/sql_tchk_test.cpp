// The type-mapping texts that may reach CREATE TABLE: MySQL type names with numeric arguments,
// and literal or current-time defaults; everything else, hostile or merely foreign, is refused.
#include "SQL/sql_tchk.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct text_case {
    const wchar_t* text;
    bool accepted;
};

TEST(SqlMappedTexts, TypesAreMySqlNamesWithNumericArguments) {
    const text_case cases[] = {
        {L"VARCHAR", true},
        {L"int unsigned", true},
        {L"DECIMAL(10,2)", true},
        {L"DECIMAL ( 10 , 2 )", true},
        {L"DOUBLE PRECISION", true},
        {L"TINYINT(1) UNSIGNED ZEROFILL", true},
        {L"DATETIME(3)", true},
        {L"LONGTEXT", true},
        {L"NATIONAL VARCHAR", true},
        {L"", false},
        {L"NATIONAL", false},
        {L"VARCHARX", false},
        {L"INT, evil INT", false},
        {L"INT) ENGINE=MEMORY; DROP DATABASE victim; -- ", false},
        {L"INT DEFAULT 1", false},
        {L"INT COMMENT 'x'", false},
        {L"VARCHAR(20) CHARACTER SET latin1", false},
        {L"DECIMAL(10,2,3)", false},
        {L"DECIMAL(a)", false},
        {L"DECIMAL(10", false},
        {L"ENUM('a','b')", false},
        {L"INT /* */", false},
        {L"INT\nDROP", false},
        {L"INT UNSIGNED;", false},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(sql_is_mapped_type(c.text), c.accepted);
    }
}

TEST(SqlMappedTexts, DefaultsAreLiteralsOrCurrentTimeFunctions) {
    const text_case cases[] = {
        {L"", true},
        {L"0", true},
        {L"-12.5e3", true},
        {L"((0))", true},
        {L"'it''s'", true},
        {L"('a;b')", true},
        {L"\"x\"", true},
        {L"NULL", true},
        {L"CURRENT_TIMESTAMP", true},
        {L"current_timestamp(3)", true},
        {L"(getdate())", true},
        {L"now()", true},
        {L"sysdatetime()", true},
        {L"newid()", true},
        {L"1; DROP DATABASE victim", false},
        {L"'a' NOT NULL", false},
        {L"'a'); DROP TABLE t; -- ", false},
        {L"'unclosed", false},
        {L"'a' 'b'", false},
        {L"'a'b'", false},
        {L"(1)+(2)", false},
        {L"(SELECT 1)", false},
        {L"user()", false},
        {L"now() + 1", false},
        {L"CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP", false},
        {L"abc", false},
        {L"1 COMMENT 'x'", false},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(sql_is_mapped_default(c.text), c.accepted);
    }
}

} // namespace
