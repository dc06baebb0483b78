// Type mapping and value literals without a server.
#include "SQL/sql_util.h"

#include "SQL/sql_engi.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sql_test::column;
using sql_test::offline_engine;

constexpr uint32_t mariadb_10_11 = 0x0A0B13;

ole_variant wide(const std::wstring& text) {
    return ole_variant(text);
}

t_ftd with_default(std::shared_ptr<t_ftd> c, const ole_variant& def) {
    c->default_value = def;
    return *c;
}

struct type_case {
    const char* label;
    t_ftd column;
    bool name_only;
    std::wstring expected;
};

TEST(SqlTypeMapping, ColumnTypesOnModernServer) {
    offline_engine e(mariadb_10_11, "10.11.19-MariaDB");
    const std::vector<type_case> cases = {
        {"smallint", *column(L"a", VT_I2, 2), false, L"SMALLINT"},
        {"int", *column(L"a", VT_I4, 4), false, L"INT"},
        {"vt_int", *column(L"a", VT_INT, 4), false, L"INT"},
        {"real", *column(L"a", VT_R4, 4), false, L"FLOAT"},
        {"float", *column(L"a", VT_R8, 8), false, L"DOUBLE"},
        {"money", *column(L"a", VT_CY, 8), false, L"DECIMAL(19,4)"},
        {"money bare", *column(L"a", VT_CY, 8), true, L"DECIMAL"},
        {"bit", *column(L"a", VT_BOOL, 2), false, L"TINYINT(1)"},
        {"bit bare", *column(L"a", VT_BOOL, 2), true, L"TINYINT"},
        {"decimal(18,2)", *column(L"a", VT_DECIMAL, 19, 0, 18, 2), false, L"DECIMAL(18,2)"},
        {"decimal bare", *column(L"a", VT_DECIMAL, 19, 0, 18, 2), true, L"DECIMAL"},
        {"decimal without precision", *column(L"a", VT_DECIMAL, 19, 0, 0, 4), false, L"DOUBLE"},
        {"i1", *column(L"a", VT_I1, 1), false, L"TINYINT"},
        {"tinyint", *column(L"a", VT_UI1, 1), false, L"TINYINT UNSIGNED"},
        {"ui2", *column(L"a", VT_UI2, 2), false, L"SMALLINT UNSIGNED"},
        {"ui4", *column(L"a", VT_UI4, 4), false, L"INT UNSIGNED"},
        {"uint", *column(L"a", VT_UINT, 4), false, L"INT UNSIGNED"},
        {"bigint", *column(L"a", VT_I8, 8), false, L"BIGINT"},
        {"ui8", *column(L"a", VT_UI8, 8), false, L"BIGINT UNSIGNED"},
        // utf8mb4 takes 4 bytes a character: 16383 is the longest VARCHAR.
        {"varchar(1)", *column(L"a", VT_BSTR, 1), false, L"VARCHAR(1)"},
        {"varchar(16383)", *column(L"a", VT_BSTR, 16383), false, L"VARCHAR(16383)"},
        {"varchar(16384)", *column(L"a", VT_BSTR, 16384), false, L"MEDIUMTEXT"},
        {"varchar(21845)", *column(L"a", VT_BSTR, 21845), false, L"MEDIUMTEXT"},
        {"text 21846", *column(L"a", VT_BSTR, 21846), false, L"MEDIUMTEXT"},
        {"text 5592405", *column(L"a", VT_BSTR, 5592405), false, L"MEDIUMTEXT"},
        {"text 5592406", *column(L"a", VT_BSTR, 5592406), false, L"LONGTEXT"},
        {"text 0", *column(L"a", VT_BSTR, 0), false, L"LONGTEXT"},
        {"varchar(max)", *column(L"a", VT_BSTR, -1), false, L"LONGTEXT"},
        {"varchar bare", *column(L"a", VT_BSTR, 40), true, L"VARCHAR"},
        {"geometry", *column(L"a", VT_BSTR, 0, 2), false, L"geometry"},
        {"geography", *column(L"a", VT_BSTR, 0, 8), false, L"geometry"},
        {"geometry of any size", *column(L"a", VT_BSTR, 50, 2), false, L"geometry"},
        // The empty-string default mark keeps the column VARCHAR.
        {"varchar with '' default", *column(L"a", VT_BSTR, 10, 0x10), false, L"VARCHAR(10)"},
        {"char", *column(L"a", VT_BSTR, 10, 4), false, L"VARCHAR(10)"},
        {"uniqueidentifier", *column(L"a", VT_BSTR, 36, 1), false, L"VARCHAR(36)"},
        {"blob 255", *column(L"a", VT_BLOB, 255), false, L"VARBINARY(255)"},
        {"blob 255 bare", *column(L"a", VT_BLOB, 255), true, L"VARBINARY"},
        {"blob 256", *column(L"a", VT_BLOB, 256), false, L"BLOB"},
        {"blob 65535", *column(L"a", VT_BLOB, 65535), false, L"BLOB"},
        {"blob 65536", *column(L"a", VT_BLOB, 65536), false, L"MEDIUMBLOB"},
        {"blob 16777215", *column(L"a", VT_BLOB, 16777215), false, L"MEDIUMBLOB"},
        {"blob 16777216", *column(L"a", VT_BLOB, 16777216), false, L"LONGBLOB"},
        {"bytes 0", *column(L"a", ole_variant::vt_byte_array, 0), false, L"LONGBLOB"},
        // Fractional seconds, at most 6 digits.
        {"datetime", *column(L"a", VT_DATE, 16, 1, 0, 3), false, L"DATETIME(3)"},
        {"datetime2(7)", *column(L"a", VT_DATE, 16, 1, 0, 7), false, L"DATETIME(6)"},
        {"datetime2(0)", *column(L"a", VT_DATE, 16, 1, 0, 0), false, L"DATETIME"},
        {"datetime bare", *column(L"a", VT_DATE, 16, 1, 0, 3), true, L"DATETIME"},
        {"datetimeoffset", *column(L"a", VT_DATE, 20, 0x11, 0, 7), false, L"DATETIME(6)"},
        {"date", *column(L"a", VT_DATE, 6, 2), false, L"DATE"},
        {"time(7)", *column(L"a", VT_DATE, 10, 3, 0, 7), false, L"TIME(6)"},
        {"time(0)", *column(L"a", VT_DATE, 10, 3, 0, 0), false, L"TIME"},
        {"unnamed date kind", *column(L"a", VT_DATE, 16, 0), false, L"CHAR(19)"},
        {"unnamed date kind bare", *column(L"a", VT_DATE, 16, 0), true, L"CHAR"},
        // Current-date defaults: DATETIME keeps dates before 1970; date and time stay what
        // they are.
        {"datetime now", *column(L"a", VT_DATE, 16, 9, 0, 3), false, L"DATETIME(3)"},
        {"datetime getdate() text",
         with_default(column(L"a", VT_DATE, 16, 1, 0, 0), wide(L"GETDATE()")), false, L"DATETIME"},
        {"date now", *column(L"a", VT_DATE, 6, 10), false, L"DATE"},
        {"date with getdate() text", with_default(column(L"a", VT_DATE, 6, 10), wide(L"getdate()")),
         false, L"DATE"},
        {"time now", *column(L"a", VT_DATE, 10, 11, 0, 7), false, L"TIME(6)"},
        {"time with getdate() text",
         with_default(column(L"a", VT_DATE, 10, 11), wide(L"getdate()")), false, L"TIME"},
        {"datetimeoffset now", *column(L"a", VT_DATE, 20, 0x19, 0, 7), false, L"DATETIME(6)"},
    };
    for (const type_case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(get_sql_native_type2(c.column, c.name_only), c.expected);
    }
}

TEST(SqlTypeMapping, OlderServersKeepTheOlderForms) {
    struct version_case {
        const char* label;
        uint32_t version;
        t_ftd column;
        std::wstring expected;
    };
    const std::vector<version_case> cases = {
        {"5.6.3 datetime", 0x50603, *column(L"a", VT_DATE, 16, 1, 0, 3), L"DATETIME"},
        {"5.6.4 datetime", 0x50604, *column(L"a", VT_DATE, 16, 1, 0, 3), L"DATETIME(3)"},
        {"5.6.3 time", 0x50603, *column(L"a", VT_DATE, 10, 3, 0, 7), L"TIME"},
        {"5.6.4 now", 0x50604, *column(L"a", VT_DATE, 16, 9, 0, 3), L"TIMESTAMP(3)"},
        {"5.6.5 now", 0x50605, *column(L"a", VT_DATE, 16, 9, 0, 3), L"DATETIME(3)"},
        {"5.5 now", 0x50500, *column(L"a", VT_DATE, 16, 9, 0, 3), L"TIMESTAMP"},
        {"5.5 date now", 0x50500, *column(L"a", VT_DATE, 6, 10), L"DATE"},
        // utf8 (3 bytes) before 5.5.3: 21844 characters fit, 21845 do not.
        {"5.5.2 varchar(21844)", 0x50502, *column(L"a", VT_BSTR, 21844), L"VARCHAR(21844)"},
        {"5.5.2 varchar(21845)", 0x50502, *column(L"a", VT_BSTR, 21845), L"MEDIUMTEXT"},
        {"5.0.2 varchar(21845)", 0x50002, *column(L"a", VT_BSTR, 21845), L"VARCHAR(21845)"},
    };
    for (const version_case& c : cases) {
        SCOPED_TRACE(c.label);
        offline_engine e(c.version);
        EXPECT_EQ(get_sql_native_type2(c.column, false), c.expected);
    }
}

TEST(SqlTypeMapping, CaseSensitiveTextGetsBinary) {
    offline_engine e(mariadb_10_11, "10.11.19-MariaDB");
    e.engine.case_sensitive = true;
    EXPECT_EQ(get_sql_native_type2(*column(L"a", VT_BSTR, 100), false), L"VARCHAR(100) BINARY");
    EXPECT_EQ(get_sql_native_type2(*column(L"a", VT_BSTR, 100), true), L"VARCHAR BINARY");
    EXPECT_EQ(get_sql_native_type2(*column(L"a", VT_BSTR, 30000), false), L"MEDIUMTEXT BINARY");
    EXPECT_EQ(get_sql_native_type2(*column(L"a", VT_BSTR, 0), false), L"LONGTEXT");
}

TEST(SqlTypeMapping, UnknownTypeCodeIsAnInternalError) {
    offline_engine e(mariadb_10_11);
    for (int vt : {0, 1, 27, 70, 31}) {
        SCOPED_TRACE(vt);
        try {
            get_sql_native_type2(*column(L"a", static_cast<VARTYPE>(vt), 0), false);
            ADD_FAILURE() << "no exception";
        } catch (const tk_mail_assertion& e) {
            EXPECT_EQ(std::string(e.what()), make_err_meggase("sql_util", 604));
        }
    }
}

TEST(SqlTypeMapping, DefaultValues) {
    struct default_case {
        const char* label;
        t_ftd column;
        std::wstring expected;
    };
    offline_engine e(mariadb_10_11, "10.11.19-MariaDB");
    const std::vector<default_case> cases = {
        {"int 5", with_default(column(L"a", VT_I4, 4), ole_variant::from_wstring(L"5", VT_BSTR)),
         L"5"},
        {"int 05", with_default(column(L"a", VT_I4, 4), wide(L"05")), L""},
        {"int text", with_default(column(L"a", VT_I4, 4), wide(L"1; DROP TABLE x")), L""},
        {"double 0.0", with_default(column(L"a", VT_R8, 8), wide(L"0.0")), L"0.0"},
        {"double abc", with_default(column(L"a", VT_R8, 8), wide(L"abc")), L""},
        {"double 1e5 injected", with_default(column(L"a", VT_R8, 8), wide(L"1e5) x")), L""},
        {"ui8 max", with_default(column(L"a", VT_UI8, 8), wide(L"18446744073709551615")),
         L"18446744073709551615"},
        {"ui8 -1", with_default(column(L"a", VT_UI8, 8), wide(L"-1")), L""},
        {"i8 min", with_default(column(L"a", VT_I8, 8), wide(L"-9223372036854775808")),
         L"-9223372036854775808"},
        {"text it's", with_default(column(L"a", VT_BSTR, 10), wide(L"it's")), L"'it\\'s'"},
        {"text backslash", with_default(column(L"a", VT_BSTR, 10), wide(L"a\\")), L"'a\\\\'"},
        {"empty-string default", with_default(column(L"a", VT_BSTR, 10, 0x10), wide(L"''")), L"''"},
        // Generated GUIDs in the letter case of the converted values (upper).
        {"newid()", with_default(column(L"a", VT_BSTR, 36, 1), wide(L"newid()")),
         L"(upper(uuid()))"},
        {"newsequentialid()",
         with_default(column(L"a", VT_BSTR, 36, 1), wide(L"NewSequentialId()")),
         L"(upper(uuid()))"},
        {"text 'newid()' on a geometry",
         with_default(column(L"a", VT_BSTR, 0, 2), wide(L"newid()")), L""},
        {"newid() on int", with_default(column(L"a", VT_I4, 4), wide(L"newid()")), L""},
        {"oracle sysdate text",
         with_default(column(L"a", VT_BSTR, 30), wide(L"to_char(sysdate,'yyyy-mm-dd hh24:mi:ss')")),
         L""},
        {"geometry default", with_default(column(L"a", VT_BSTR, 0, 2), wide(L"POINT(1 2)")), L""},
        {"datetime now", *column(L"a", VT_DATE, 16, 9, 0, 3), L"CURRENT_TIMESTAMP(3)"},
        {"datetime2(0) now", *column(L"a", VT_DATE, 16, 9, 0, 0), L"CURRENT_TIMESTAMP"},
        {"date now", *column(L"a", VT_DATE, 6, 10), L"(curdate())"},
        {"time now", *column(L"a", VT_DATE, 10, 11, 0, 7), L"(curtime(6))"},
        {"time(0) now", *column(L"a", VT_DATE, 10, 11, 0, 0), L"(curtime())"},
        {"sysdatetime on datetime2(7)",
         with_default(column(L"a", VT_DATE, 16, 9, 0, 7), wide(L"sysdatetime()")),
         L"CURRENT_TIMESTAMP(6)"},
        {"current_timestamp on datetime",
         with_default(column(L"a", VT_DATE, 16, 9, 0, 3), wide(L"current_timestamp")),
         L"CURRENT_TIMESTAMP(3)"},
        // UTC stays UTC: never CURRENT_TIMESTAMP, which is local time.
        {"getutcdate on datetime",
         with_default(column(L"a", VT_DATE, 16, 9, 0, 3), wide(L"getutcdate()")),
         L"(utc_timestamp(3))"},
        {"sysutcdatetime on datetime2(0)",
         with_default(column(L"a", VT_DATE, 16, 9, 0, 0), wide(L"SYSUTCDATETIME()")),
         L"(utc_timestamp())"},
        {"getutcdate on date", with_default(column(L"a", VT_DATE, 6, 10), wide(L"getutcdate()")),
         L"(utc_date())"},
        {"getutcdate on time(2)",
         with_default(column(L"a", VT_DATE, 10, 11, 0, 2), wide(L"getutcdate()")),
         L"(utc_time(2))"},
        {"datetime value",
         with_default(column(L"a", VT_DATE, 16, 1, 0, 3),
                      ole_variant(ole_date(std::string("2020-01-02 03:04:05")))),
         L"\"2020-01-02 03:04:05\""},
        {"date value",
         with_default(column(L"a", VT_DATE, 6, 2),
                      ole_variant(ole_date(std::string("2001-02-03")))),
         L"\"2001-02-03\""},
        {"no default", *column(L"a", VT_I4, 4), L""},
    };
    for (const default_case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(make_mysql_def_val(&c.column), c.expected);
    }
    EXPECT_THROW(make_mysql_def_val(nullptr), tk_mail_assertion);
}

TEST(SqlTypeMapping, CurrentDateDefaultsOnlyWhereTheServerTakesThem) {
    struct server_case {
        const char* label;
        uint32_t version;
        const char* info;
        bool expression_defaults;
    };
    const std::vector<server_case> servers = {
        {"MariaDB 10.2.0", 0x0A0200, "10.2.0-MariaDB", false},
        {"MariaDB 10.2.1", 0x0A0201, "10.2.1-MariaDB", true},
        {"MySQL 8.0.12", 0x08000C, "8.0.12", false},
        {"MySQL 8.0.13", 0x08000D, "8.0.13", true},
        {"MySQL 5.7.44", 0x05072C, "5.7.44-log", false},
    };
    for (const server_case& s : servers) {
        SCOPED_TRACE(s.label);
        offline_engine e(s.version, s.info);
        EXPECT_EQ(e.engine.accepts_expression_defaults(), s.expression_defaults);
        EXPECT_EQ(make_mysql_def_val(column(L"a", VT_DATE, 6, 10).get()),
                  s.expression_defaults ? L"(curdate())" : L"");
        EXPECT_EQ(make_mysql_def_val(column(L"a", VT_DATE, 10, 11).get()),
                  s.expression_defaults ? L"(curtime())" : L"");
        const t_ftd guid = with_default(column(L"a", VT_BSTR, 36, 1), wide(L"newid()"));
        EXPECT_EQ(make_mysql_def_val(&guid), s.expression_defaults ? L"(upper(uuid()))" : L"");
        const t_ftd utc = with_default(column(L"a", VT_DATE, 16, 9), wide(L"getutcdate()"));
        EXPECT_EQ(make_mysql_def_val(&utc), s.expression_defaults ? L"(utc_timestamp())" : L"");
        EXPECT_EQ(get_sql_native_type2(utc, false), L"DATETIME") << "never a TIMESTAMP";
    }
    offline_engine old(0x50500, "5.5.0");
    EXPECT_EQ(make_mysql_def_val(column(L"a", VT_DATE, 16, 9, 0, 3).get()), L"CURRENT_TIMESTAMP");
}

TEST(SqlTypeMapping, EditedTypesAndTypeNames) {
    EXPECT_EQ(get_sql_native_type1(L"VARCHAR", 40, 0, 0), L"VARCHAR(40)");
    EXPECT_EQ(get_sql_native_type1(L"CHAR", 5, 0, 0), L"CHAR(5)");
    EXPECT_EQ(get_sql_native_type1(L"DECIMAL", 0, 3, 10), L"DECIMAL(10,3)");
    // The national forms need their length as the plain ones do: the servers refuse them bare.
    EXPECT_EQ(get_sql_native_type1(L"NVARCHAR", 40, 0, 0), L"NVARCHAR(40)");
    EXPECT_EQ(get_sql_native_type1(L"national char", 2, 0, 0), L"NATIONAL CHAR(2)");
    EXPECT_EQ(get_sql_native_type1(L"NCHAR VARYING", 3, 0, 0), L"NCHAR VARYING(3)");
    EXPECT_EQ(get_sql_native_type1(L"NUMERIC", 3, 0, 0), L"NUMERIC");
    // The other names of DECIMAL keep the precision and scale the mapping gives them: bare, the
    // server made them DECIMAL(10,0) and rounded every fraction away.
    EXPECT_EQ(get_sql_native_type1(L"NUMERIC", 0, 2, 10), L"NUMERIC(10,2)");
    EXPECT_EQ(get_sql_native_type1(L"dec", 0, 3, 12), L"DEC(12,3)");
    EXPECT_EQ(get_sql_native_type1(L"FIXED", 0, 0, 5), L"FIXED(5,0)");
    EXPECT_EQ(get_sql_native_type1(L"NUMERIC UNSIGNED", 0, 1, 4), L"NUMERIC(4,1) UNSIGNED");
    EXPECT_EQ(get_sql_native_type1(L"NUMERIC(6,2)", 0, 1, 4), L"NUMERIC(6,2)");
    EXPECT_EQ(get_sql_native_type1(L"MEDIUMTEXT", 40, 0, 0), L"MEDIUMTEXT");
    EXPECT_EQ(get_sql_native_type1(L"VARBINARY", 16, 0, 0), L"VARBINARY(16)");
    EXPECT_EQ(get_sql_native_type1(L"BLOB", 16, 0, 0), L"BLOB");

    struct native_case {
        std::wstring text;
        VARTYPE vt;
        int64_t size;
    };
    const std::vector<native_case> cases = {
        {L"VARCHAR(80)", VT_BSTR, 80},
        {L"VARCHAR", VT_BSTR, 7},
        {L"INT UNSIGNED", VT_UI4, 4},
        {L"int", VT_BSTR, 7},
        {L"DATETIME", VT_BSTR, 7},
        {L"DECIMAL(10,2)", VT_DECIMAL, 7},
        {L"FLOAT", VT_R4, 4},
        {L"BIT", VT_I1, 1},
        {L"BIGINT UNSIGNED", VT_UI8, 8},
        {L"TIME", VT_DATE, 8},
        {L"VARBINARY(16)", ole_variant::vt_byte_array, 7},
        {L"LONGBLOB", ole_variant::vt_byte_array, 7},
        {L"BINARY", ole_variant::vt_byte_array, 7},
    };
    for (const native_case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        int64_t size = 7;
        EXPECT_EQ(get_vartype_of_native_type(c.text, size), c.vt);
        EXPECT_EQ(size, c.size);
    }
    EXPECT_EQ(mysql_type_name(0), L"BINARY");
    EXPECT_EQ(mysql_type_name(15), L"VARCHAR");
    EXPECT_EQ(mysql_type_name(27), L"TINYTEXT");
    EXPECT_EQ(mysql_type_name(28), L"<Unknown type>");
}

// ---- Literals -----------------------------------------------------------------------------------

udb_field field_of(const ole_variant& value, uint32_t size = 0) {
    return udb_field(L"f", size, value, false, false);
}

TEST(SqlLiterals, TextsByValueType) {
    offline_engine e(mariadb_10_11);
    struct literal_case {
        const char* label;
        std::string text;
        VARTYPE vt;
        std::string expected;
    };
    const std::vector<literal_case> cases = {
        {"quote", "O'Brien", VT_BSTR, "'O\\'Brien'"},
        {"backslash", "C:\\dir", VT_BSTR, "'C:\\\\dir'"},
        {"NUL", std::string("a\0b", 3), VT_BSTR, "'a\\0b'"},
        {"null type", "x", VT_NULL, "NULL"},
        {"empty type", "x", VT_EMPTY, "NULL"},
        {"empty int", "", VT_I4, "''"},
        {"int", "12", VT_I4, "12"},
        {"negative exponent", "-1.5e-07", VT_R8, "-1.5e-07"},
        {"text as int is quoted", "1 OR 1=1", VT_I4, "'1 OR 1=1'"},
        {"subquery as int is quoted", "(SELECT 1)", VT_DECIMAL, "'(SELECT 1)'"},
        // Only uniqueidentifier values become GUID text: a text is written as it is.
        {"text holding a guid", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}", VT_BSTR,
         "'{6F9619FF-8B86-D011-B42D-00C04FC964FF}'"},
        {"date", "2020-01-02 03:04:05", VT_DATE, "'2020-01-02 03:04:05'"},
        {"date with microseconds", "2020-01-02 03:04:05.123456", VT_DATE,
         "'2020-01-02 03:04:05.123456'"},
        {"blob hex", "0x1F2E", VT_BLOB, "0x1F2E"},
        {"blob 0X", "0X", VT_BLOB, "0X"},
        {"blob bad hex", "0xZZ", VT_BLOB, "'0xZZ'"},
        {"blob digits", "12345", VT_BLOB, "12345"},
        {"blob 1x00", "1x00", VT_BLOB, "'1x00'"},
        {"blob x", "x", VT_BLOB, "'x'"},
        {"blob quote is escaped", "ab'c", VT_BLOB, "'ab\\'c'"},
    };
    for (const literal_case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(to_mysql_str(c.text, c.vt), c.expected);
    }
    EXPECT_EQ(to_mysql_wstr(L"it's", VT_BSTR), L"'it\\'s'");
}

TEST(SqlLiterals, FieldsByTheirOwnType) {
    offline_engine e(mariadb_10_11);
    const std::vector<uint8_t> bytes = {0x01, 0xFF};
    udb_field bin = field_of(ole_variant(bytes));
    EXPECT_EQ(to_mysql_str(&bin), "0x01FF");
    udb_field none = field_of(ole_variant());
    EXPECT_EQ(to_mysql_str(&none), "NULL");
    udb_field no_bytes = field_of(ole_variant(0u, nullptr));
    EXPECT_EQ(to_mysql_str(&no_bytes), "X''");
    udb_field text = field_of(ole_variant(std::u16string(u"\U0001F600 'x'\\")));
    EXPECT_EQ(to_mysql_str(&text), "'\xF0\x9F\x98\x80 \\'x\\'\\\\'");
    udb_field yes = field_of(ole_variant(true));
    EXPECT_EQ(to_mysql_str(&yes), "1");
    EXPECT_THROW(to_mysql_str(static_cast<const udb_field*>(nullptr)), tk_mail_assertion);
}

std::string to_mysql_str_of(const ole_variant& value) {
    udb_field f = field_of(value);
    return to_mysql_str(&f);
}

TEST(SqlLiterals, FieldForColumn) {
    offline_engine e(mariadb_10_11);
    struct column_case {
        const char* label;
        ole_variant value;
        t_ftd column;
        std::string expected;
    };
    auto not_null = [](std::shared_ptr<t_ftd> c, const ole_variant& def = ole_variant()) {
        c->b_not_null = true;
        c->default_value = def;
        return *c;
    };
    const std::vector<column_case> cases = {
        {"null into nullable int", ole_variant(), *column(L"c", VT_I4, 4), "NULL"},
        {"null into not-null int with default 0", ole_variant(),
         not_null(column(L"c", VT_I4, 4), ole_variant::from_wstring(L"0", VT_I4)), "0"},
        {"null into not-null int without default", ole_variant(), not_null(column(L"c", VT_I4, 4)),
         "''"},
        {"null into not-null date", ole_variant(), not_null(column(L"c", VT_DATE, 6, 2)), "NULL"},
        {"null into text", ole_variant(), not_null(column(L"c", VT_BSTR, 10)), "NULL"},
        {"text 42 into int", wide(L"42"), *column(L"c", VT_I4, 4), "42"},
        {"text into int is quoted", wide(L"0); DROP TABLE t; --"), *column(L"c", VT_I4, 4),
         "'0); DROP TABLE t; --'"},
        {"geometry", wide(L"POINT (1 2)"), *column(L"c", VT_BSTR, 0, 2),
         "ST_GeomFromText('POINT (1 2)')"},
        {"geometry quote escaped", wide(L"POINT (1 2)') x"), *column(L"c", VT_BSTR, 0, 2),
         "ST_GeomFromText('POINT (1 2)\\') x')"},
        {"null geometry", ole_variant(), *column(L"c", VT_BSTR, 0, 2), "NULL"},
        {"empty geometry", wide(L""), *column(L"c", VT_BSTR, 0, 8), "NULL"},
        {"uniqueidentifier", wide(L"{6f9619ff-8b86-d011-b42d-00c04fc964ff}"),
         *column(L"c", VT_BSTR, 36, 1), "'6f9619ff-8b86-d011-b42d-00c04fc964ff'"},
        {"guid-looking text", wide(L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}"),
         *column(L"c", VT_BSTR, 50), "'{6F9619FF-8B86-D011-B42D-00C04FC964FF}'"},
        {"text with guid and quote", wide(L"guid={6F9619FF-8B86-D011-B42D-00C04FC9'4FF}"),
         *column(L"c", VT_BSTR, 60), "'guid={6F9619FF-8B86-D011-B42D-00C04FC9\\'4FF}'"},
        // A number in a text column goes with its own type: the server writes its usual text.
        {"double into text", ole_variant(2.5), *column(L"c", VT_BSTR, 3),
         to_mysql_str_of(ole_variant(2.5))},
        {"int into text", ole_variant::from_wstring(L"-7", VT_I4), *column(L"c", VT_BSTR, 3), "-7"},
        {"decimal into text", ole_variant::from_wstring(L"12.340", VT_DECIMAL),
         *column(L"c", VT_BSTR, 10), "12.340"},
        {"bytes", ole_variant(std::vector<uint8_t>{0, 1}), *column(L"c", 8209, 0), "0x0001"},
        {"null bytes", ole_variant(), *column(L"c", 8209, 0), "NULL"},
        // Zero bytes are a value: never NULL, nor a column default, in either kind of column.
        {"empty bytes", ole_variant(0u, nullptr), *column(L"c", 8209, 0), "X''"},
        {"empty bytes into not-null bytes", ole_variant(0u, nullptr),
         not_null(column(L"c", 8209, 0), ole_variant::from_string("0x01", 8209)), "X''"},
        {"empty bytes into text", ole_variant(0u, nullptr), *column(L"c", VT_BSTR, 10), "''"},
    };
    for (const column_case& c : cases) {
        SCOPED_TRACE(c.label);
        udb_field f = field_of(c.value, 4);
        EXPECT_EQ(get_fld_append_str(&f, &c.column, false), c.expected);
    }
    udb_field f = field_of(wide(L"x"));
    EXPECT_THROW(get_fld_append_str(nullptr, column(L"c", VT_I4, 4).get(), false),
                 tk_mail_assertion);
    EXPECT_THROW(get_fld_append_str(&f, nullptr, false), tk_mail_assertion);
}

TEST(SqlLiterals, LongValuesBecomePlaceholdersOnlyWhenAllowed) {
    offline_engine e(mariadb_10_11);
    const std::vector<uint8_t> big(2 * 1024 * 1024, 0xAB);
    udb_field f = field_of(ole_variant(big));
    const t_ftd c = *column(L"c", 8209, 0);
    EXPECT_EQ(get_fld_append_str(&f, &c, true), "?");
    const std::string literal = get_fld_append_str(&f, &c, false);
    EXPECT_EQ(literal.size(), 2 + 2 * big.size());
    EXPECT_EQ(literal.substr(0, 6), "0xABAB");
    udb_field small = field_of(ole_variant(std::vector<uint8_t>{1}));
    EXPECT_EQ(get_fld_append_str(&small, &c, true), "0x01");
}

TEST(SqlLiterals, NumberTexts) {
    for (const char* good : {"0", "-1", "+2", "1.5", ".5", "5.", "1e10", "-1.25E-3"}) {
        SCOPED_TRACE(good);
        EXPECT_TRUE(sql_is_number_text(good));
    }
    for (const char* bad :
         {"", "-", ".", "e5", "1e", "1e+", "0x10", "1,5", "1 ", "inf", "nan", "1;"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(sql_is_number_text(bad));
    }
}

// ---- Result cells -------------------------------------------------------------------------------

TEST(SqlResultCells, ValueTypes) {
    offline_engine e(mariadb_10_11);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_TINY, UNSIGNED_FLAG), VT_UI1);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_TINY, 0), VT_I1);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_INT24, UNSIGNED_FLAG), VT_I4);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_LONGLONG, UNSIGNED_FLAG), VT_UI8);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_NEWDECIMAL, 0), VT_DECIMAL);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_YEAR, 0), VT_UI2);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_BIT, 0), VT_BOOL);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_DATETIME, 0), VT_DATE);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_VAR_STRING, BINARY_FLAG), ole_variant::vt_byte_array);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_STRING, BINARY_FLAG), VT_BSTR);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_GEOMETRY, 0), VT_BSTR);
    EXPECT_EQ(get_vartype(MYSQL_TYPE_BLOB, BINARY_FLAG), ole_variant::vt_byte_array);
    e.engine.blob_to_text = true;
    EXPECT_EQ(get_vartype(MYSQL_TYPE_BLOB, BINARY_FLAG), VT_BSTR);
}

TEST(SqlResultCells, Values) {
    offline_engine e(mariadb_10_11);
    const char bytes[] = {'a', '\0', 'b'};
    EXPECT_EQ(get_variant(MYSQL_TYPE_BLOB, 3, BINARY_FLAG, bytes).get_type(),
              ole_variant::vt_byte_array);
    const ole_variant text = get_variant(MYSQL_TYPE_VAR_STRING, 3, 0, bytes);
    ASSERT_EQ(text.get_type(), VT_BSTR);
    EXPECT_EQ(text.to_wstring(), std::wstring(L"a\0b", 3));
    EXPECT_EQ(get_variant(MYSQL_TYPE_LONG, 0, 0, static_cast<const char*>(nullptr)).get_type(),
              VT_EMPTY);
    EXPECT_EQ(get_variant(MYSQL_TYPE_LONG, 3, 0, "-42").to_long(), -42);
    e.engine.blob_to_text = true;
    EXPECT_EQ(get_variant(MYSQL_TYPE_BLOB, 3, BINARY_FLAG, bytes).get_type(), VT_BSTR);
    EXPECT_TRUE(get_variant(VT_BOOL, "0").to_bool());
    EXPECT_TRUE(get_variant(VT_BOOL, "\x01").to_bool());
    EXPECT_FALSE(get_variant(VT_BOOL, "").to_bool());
    EXPECT_EQ(get_variant(VT_BOOL, static_cast<const char*>(nullptr)).get_type(), VT_EMPTY);
    const char16_t units[] = {u'a', 0x1FF, u'b'};
    EXPECT_EQ(get_variant(MYSQL_TYPE_VAR_STRING, 3, BINARY_FLAG, units).get_type(),
              ole_variant::vt_byte_array);
}

} // namespace
