// Writing to the TDS test server through FreeTDS's ODBC driver: CREATE TABLE, INSERT with the
// literal forms a writer sends, UPDATE and DELETE by key, IDENTITY_INSERT, and SQL Server's
// refusals with their numbers and texts.
#include "tds_write_fixture.h"

#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Each test writes its own tables into a fresh server.
class TdsWrites : public tds_write_test {};

TEST_F(TdsWrites, StoresTheWritersLiteralsAndServesThemBack) {
    run("CREATE TABLE [dbo].[w] (\r\n\t[id] int NOT NULL,\r\n\t[name] nvarchar(20) NULL,\r\n"
        "\t[latin] varchar(10) NULL,\r\n\t[amount] decimal(10,2) NULL,\r\n\t[f] float NULL,\r\n"
        "\t[flag] bit NULL,\r\n\t[at] datetime NULL,\r\n\t[day] date NULL,\r\n"
        "\t[t] time(3) NULL,\r\n\t[bytes] varbinary(max) NULL,\r\n\t[g] uniqueidentifier NULL,\r\n"
        "\t[big] bigint NOT NULL DEFAULT 7)");
    run("INSERT INTO [dbo].[w]([id], [name], [latin], [amount], [f], [flag], [at], [day], [t], "
        "[bytes], [g], [big]) VALUES( 1, N'O''Brien 😀', 'Grüße', 12.345, 2.23e-308, 1, "
        "'2024-02-29 13:45:30.997', '2024-02-29 00:00:00', '13:45:30.1234', 0x00FF10, "
        "'6F9619FF-8B86-D011-B42D-00C04FC964FF', -9223372036854775808)");
    // Empty values stay empty; a plain literal passes the database's code page (Latin-1 here),
    // so the emoji becomes '?'; DEFAULT and omitted columns take the default.
    run("INSERT INTO [dbo].[w]([id], [name], [latin], [bytes], [big]) VALUES( 2, '', 'x😀', 0x, "
        "DEFAULT)");
    run("INSERT INTO w (id, at) VALUES (3, CONVERT(datetime, '2001-02-03 04:05:06', 120)), "
        "(4, CAST('1999-12-31' AS date))");
    // '' is what a NOT NULL column without a default gets: 0 for numbers; a time alone falls on
    // the base date; a date may be written yyyymmdd.
    run("INSERT INTO w (id, f, flag, at, day, big) VALUES (5, '', '', '13:45:30', '20240101', '')");
    // Fractions beyond the column's scale round, carrying as far as the date.
    run("CREATE TABLE r (t0 time(0), d0 datetime2(0), d1 datetime2(1), o0 datetimeoffset(0))");
    run("INSERT INTO r VALUES ('13:45:30.5', '2024-02-29 23:59:59.5', '2024-12-31 23:59:59.96', "
        "'2024-02-28 23:59:59.999 +05:30'), ('23:59:59.9999999', '9999-12-31 23:59:59.9', "
        "'2024-01-01 10:00:00.04', '2024-01-01 00:00:00.4 -01:00')");
    EXPECT_EQ(
        rows("SELECT * FROM r"),
        (std::vector<std::string>{
            "13:45:31|2024-03-01 00:00:00|2025-01-01 00:00:00.0|2024-02-29 00:00:00 +05:30",
            "00:00:00|9999-12-31 23:59:59|2024-01-01 10:00:00.0|2024-01-01 00:00:00 -01:00"}));
    EXPECT_EQ(rows("SELECT * FROM [dbo].[w]"),
              (std::vector<std::string>{
                  "1|O'Brien 😀|Grüße|12.35|2.2300000000000001e-308|1|2024-02-29 13:45:30.997|"
                  "2024-02-29|13:45:30.123|00ff10|6F9619FF-8B86-D011-B42D-00C04FC964FF|"
                  "-9223372036854775808",
                  "2||x?|NULL|NULL|NULL|NULL|NULL|NULL||NULL|7",
                  "3|NULL|NULL|NULL|NULL|NULL|2001-02-03 04:05:06.000|NULL|NULL|NULL|NULL|7",
                  "4|NULL|NULL|NULL|NULL|NULL|1999-12-31 00:00:00.000|NULL|NULL|NULL|NULL|7",
                  "5|NULL|NULL|NULL|0|0|1900-01-01 13:45:30.000|2024-01-01|NULL|NULL|NULL|0"}));
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM w"), std::vector<std::string>{"5"});
    run("DROP TABLE [dbo].[w]");
    EXPECT_FALSE(c_.execute("SELECT * FROM w"));
    EXPECT_EQ(c_.diagnostics().at(0).native, 208);
}

TEST_F(TdsWrites, KeepsIdentityValuesOnlyWhileIdentityInsertIsOn) {
    run("CREATE TABLE t (id int IDENTITY(10,5) NOT NULL PRIMARY KEY, v nvarchar(5))");
    run("INSERT INTO t (v) VALUES (N'a')");
    run("SET IDENTITY_INSERT [dbo].[t] ON;INSERT INTO [dbo].[t]([id], [v]) VALUES( 100, N'b')");
    run("SET IDENTITY_INSERT [dbo].[t] OFF;");
    run("INSERT INTO t (v) VALUES (N'c')");
    EXPECT_EQ(rows("SELECT id, v FROM t"), (std::vector<std::string>{"10|a", "100|b", "105|c"}));
}

TEST_F(TdsWrites, UpdatesAndDeletesByKeyInTheWritersForms) {
    run("CREATE TABLE [dbo].[k] ([id] int NOT NULL, [code] varchar(5) NOT NULL, [v] nvarchar(10) "
        "NULL, CONSTRAINT [PK_k] PRIMARY KEY NONCLUSTERED ([id], [code]))");
    run("INSERT INTO [dbo].[k]([id], [code], [v]) VALUES( 5, N'AB', N'one'), (5, 'CD', N'two'), "
        "(6, 'AB', NULL)");
    // by record: [k]=v AND ...; by key text: "k"=v and "code"='v' (a quote and a blank)
    run("UPDATE [dbo].[k] SET [v]=N'uno' WHERE [id]=5 AND [code]=N'ab'");
    run("UPDATE [dbo].[k] SET [v]=N'dos' WHERE \"id\"=5 and \"code\"='CD' ");
    EXPECT_EQ(rows("SELECT * FROM k"),
              (std::vector<std::string>{"5|AB|uno", "5|CD|dos", "6|AB|NULL"}));
    run("DELETE FROM [dbo].[k] WITH (ROWLOCK) WHERE \"id\"=6 and \"code\"='AB' ");
    run("DELETE FROM [dbo].[k] WITH (ROWLOCK) WHERE [id]=5 AND [code]=N'CD'");
    EXPECT_EQ(rows("SELECT * FROM k"), std::vector<std::string>{"5|AB|uno"});
    // With QUOTED_IDENTIFIER OFF, "id" is a string: the key text's condition can no longer name
    // a column, and SQL Server says so instead of changing nothing silently.
    run("SET QUOTED_IDENTIFIER OFF");
    EXPECT_FALSE(c_.execute("DELETE FROM [dbo].[k] WITH (ROWLOCK) WHERE \"id\"=5 "));
    EXPECT_EQ(c_.diagnostics().at(0).native, 245);
    run("SET QUOTED_IDENTIFIER ON");
    run("delete from [dbo].[k]");
    EXPECT_TRUE(rows("SELECT * FROM k").empty());
}

TEST_F(TdsWrites, AnswersWritesOfAnyLengthWithoutFailing) {
    run("CREATE TABLE big (id int NOT NULL, v nvarchar(max) NULL)");
    const std::string long_text(1 << 20, 'x');
    run("INSERT INTO big (id, v) VALUES (1, N'" + long_text + "')");
    std::string many = "INSERT INTO big (id) VALUES (2)";
    for (int i = 3; i <= 1001; ++i)
        many += ", (" + std::to_string(i) + ")";
    run(many);
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM big"), std::vector<std::string>{"1001"});
    EXPECT_FALSE(c_.execute(many + ", (0)")); // SQL Server takes 1000 rows at most
    EXPECT_EQ(c_.diagnostics().at(0).native, 10738);
    // Nesting as deep as the statement is long gets a syntax error, never a crash.
    const std::string deep = "INSERT INTO big (id) VALUES (" + std::string(200000, '(') + "1" +
                             std::string(200000, ')') + ")";
    EXPECT_FALSE(c_.execute(deep));
    EXPECT_EQ(c_.diagnostics().at(0).native, 102);
    // A megabyte of trailing blanks is cut to the column's length at once.
    run("CREATE TABLE pad (v varchar(3), n nchar(2))");
    const std::string blanks(1 << 20, ' ');
    run("INSERT INTO pad VALUES ('x" + blanks + "', N'y" + blanks + "')");
    EXPECT_EQ(rows("SELECT * FROM pad"), std::vector<std::string>{"x  |y "});
    run("DELETE FROM big WHERE id = 1");
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM big"), std::vector<std::string>{"1000"});
}

TEST_F(TdsWrites, TakesAnyNameSqlServerTakes) {
    run("CREATE TABLE [dbo].[a.b c'd]]e ü] ([x.y] int NOT NULL PRIMARY KEY, [q\"r] nvarchar(5))");
    run("INSERT INTO [dbo].[a.b c'd]]e ü]([x.y], [q\"r]) VALUES( 1, N'x'), ( 2, N']''\"')");
    EXPECT_EQ(rows("SELECT [x.y], [q\"r] FROM [dbo].[a.b c'd]]e ü]"),
              (std::vector<std::string>{"1|x", "2|]'\""}));
    run("DELETE FROM [dbo].[a.b c'd]]e ü] WITH (ROWLOCK) WHERE \"x.y\"=1 ");
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM [dbo].[a.b c'd]]e ü]"), std::vector<std::string>{"1"});
}

TEST_F(TdsWrites, DiscardsWrittenRowsForBenchmarksButStillChecksThem) {
    server_->discard_written_rows(true);
    run("CREATE TABLE d (id int NOT NULL PRIMARY KEY, v varchar(2))");
    run("INSERT INTO d (id, v) VALUES (1, 'a'), (2, 'b')");
    EXPECT_FALSE(c_.execute("INSERT INTO d (id, v) VALUES (1, 'c')"));
    EXPECT_EQ(c_.diagnostics().at(0).native, 2627);
    EXPECT_FALSE(c_.execute("INSERT INTO d (id, v) VALUES (3, 'long')"));
    EXPECT_EQ(c_.diagnostics().at(0).native, 2628);
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM d"), std::vector<std::string>{"0"});
    EXPECT_EQ(server_->discarded_rows(), 2u);
}

// A statement, the error number SQL Server gives and its text (after FreeTDS's prefix).
struct refusal {
    const char* statement;
    SQLINTEGER native;
    const char* message;
};

// SQL Server compiles a batch before it runs any of it; a date it reads but a datetime cannot
// hold is a range error (242), not a failed conversion (241); a filtered index needs
// QUOTED_IDENTIFIER ON (1934).
TEST_F(TdsWrites, RefusesBatchesDatesAndFilteredIndexesAsSqlServerDoes) {
    run("CREATE TABLE [dbo].[d] ([at] datetime NULL, [v] int NULL)");
    const refusal cases[] = {
        {"INSERT INTO [dbo].[d] ([v]) VALUES (1);INSERT INTO [dbo].[d] ([v]) VALUES ('2)", 105,
         "Unclosed quotation mark after the character string 'INSERT INTO [dbo].[d] ([v]) VALUES "
         "('2)'."},
        {"INSERT INTO [dbo].[d] ([at]) VALUES ('1600-01-01')", 242,
         "The conversion of a varchar data type to a datetime data type resulted in an "
         "out-of-range value."},
        {"INSERT INTO [dbo].[d] ([at]) VALUES ('no date')", 241,
         "Conversion failed when converting date and/or time from character string."},
        {"SET QUOTED_IDENTIFIER OFF;CREATE UNIQUE INDEX [ix] ON [dbo].[d] ([v]) WHERE [v] IS NOT "
         "NULL",
         1934,
         "CREATE INDEX failed because the following SET options have incorrect settings: "
         "'QUOTED_IDENTIFIER'. Verify that SET options are correct for use with indexed views "
         "and/or indexes on computed columns and/or filtered indexes and/or query notifications "
         "and/or XML data type methods and/or spatial index operations."},
    };
    for (const auto& e : cases) {
        SCOPED_TRACE(e.statement);
        EXPECT_FALSE(c_.execute(e.statement));
        ASSERT_FALSE(c_.diagnostics().empty());
        EXPECT_EQ(c_.diagnostics()[0].native, e.native);
        EXPECT_EQ(c_.diagnostics()[0].message, std::string("[FreeTDS][SQL Server]") + e.message);
    }
    // The batch with the unclosed quotation mark ran none of its statements.
    EXPECT_TRUE(rows("SELECT * FROM d").empty());
    run("SET QUOTED_IDENTIFIER ON;CREATE UNIQUE INDEX [ix] ON [dbo].[d] ([v]) WHERE [v] IS NOT "
        "NULL");
}

// Values at the edges of SQL Server's conversions: only datetime and smalldatetime read '' (as
// the base date); datetime's last millisecond rounds past its range; smalldatetime rounds up from
// 29.999 seconds; a date may be written yyyymmdd and money with a currency symbol and commas; an
// empty delimited name is no name.
TEST_F(TdsWrites, ConvertsEdgeValuesAsSqlServerDoes) {
    run("CREATE TABLE [dbo].[e] ([n] int NOT NULL, [dt] datetime NULL, [sd] smalldatetime NULL, "
        "[d] date NULL, [d2] datetime2(3) NULL, [t] time(0) NULL, [o] datetimeoffset(0) NULL, "
        "[m] money NULL, [sm] smallmoney NULL)");
    run("INSERT INTO [dbo].[e] ([n], [dt], [sd], [d], [m], [sm]) VALUES (1, '', '', '20240101', "
        "'$1,000.50', '-$2,000'), (2, '2024-01-01 10:00:29.998', '2024-01-01 10:00:29.998', "
        "'20241231 10:00', '1234', '1,234.5'), (3, NULL, '2024-01-01 10:00:29.999', NULL, NULL, "
        "NULL)");
    EXPECT_EQ(rows("SELECT [n], [dt], [sd], [d], [m], [sm] FROM [dbo].[e]"),
              (std::vector<std::string>{
                  "1|1900-01-01 00:00:00.000|1900-01-01 00:00:00|2024-01-01|1000.5000|-2000.0000",
                  "2|2024-01-01 10:00:29.997|2024-01-01 10:00:00|2024-12-31|1234.0000|1234.5000",
                  "3|NULL|2024-01-01 10:01:00|NULL|NULL|NULL"}));
    const char* const not_a_date =
        "Conversion failed when converting date and/or time from character string.";
    const char* const no_name =
        "An object or column name is missing or empty. For SELECT INTO statements, verify each "
        "column has a name. For other statements, look for empty alias names. Aliases defined as "
        "\"\" or [] are not allowed. Change the alias to a valid name.";
    const refusal cases[] = {
        {"INSERT INTO [dbo].[e] ([n], [d]) VALUES (9, '')", 241, not_a_date},
        {"INSERT INTO [dbo].[e] ([n], [d2]) VALUES (9, '')", 241, not_a_date},
        {"INSERT INTO [dbo].[e] ([n], [t]) VALUES (9, ' ')", 241, not_a_date},
        {"INSERT INTO [dbo].[e] ([n], [o]) VALUES (9, '')", 241, not_a_date},
        {"INSERT INTO [dbo].[e] ([n], [dt]) VALUES (9, '9999-12-31 23:59:59.999')", 242,
         "The conversion of a varchar data type to a datetime data type resulted in an "
         "out-of-range value."},
        {"INSERT INTO [dbo].[e] ([n], [m]) VALUES (9, '$1,000,x')", 8114,
         "Error converting data type varchar to money."},
        {"CREATE TABLE [dbo].[x] ([] INT)", 1038, no_name},
        {"CREATE SCHEMA []", 1038, no_name},
        {"SELECT 1 AS []", 1038, no_name},
    };
    for (const auto& e : cases) {
        SCOPED_TRACE(e.statement);
        EXPECT_FALSE(c_.execute(e.statement));
        ASSERT_FALSE(c_.diagnostics().empty());
        EXPECT_EQ(c_.diagnostics()[0].native, e.native);
        EXPECT_EQ(c_.diagnostics()[0].message, std::string("[FreeTDS][SQL Server]") + e.message);
        c_.close_cursor();
    }
    EXPECT_EQ(rows("SELECT COUNT_BIG(*) FROM [dbo].[e]"), std::vector<std::string>{"3"});
    // A negative exponent beyond the text's digits is a small value, not a lost session.
    run("CREATE TABLE [dbo].[s] ([n] int NOT NULL, [m] money NULL, [d] decimal(38,38) NULL, "
        "[i] int NULL)");
    run("INSERT INTO [dbo].[s] ([n], [m], [d], [i]) VALUES (1, '1E-6', '1E-310', '0'), "
        "(2, '5E-5', '25E-39', '0')");
    EXPECT_EQ(rows("SELECT [n], [m], [d] FROM [dbo].[s]"),
              (std::vector<std::string>{"1|0.0000|0.00000000000000000000000000000000000000",
                                        "2|0.0001|0.00000000000000000000000000000000000003"}));
}

// A syntax error anywhere in a batch keeps the whole batch from compiling, so the statements
// before it do not run either; one that fails at run time still leaves the earlier ones done.
TEST_F(TdsWrites, RunsNoStatementOfABatchWithASyntaxError) {
    run("CREATE TABLE [dbo].[d] ([v] int NULL)");
    const refusal cases[] = {
        {"CREATE TABLE [dbo].[e] ([v] int NULL);INSERT INTO [dbo].[d] ([v]) VALUES (1);"
         "INSERT INTO [dbo].[d] ([v]) VALUES (2,)",
         102, "Incorrect syntax near ')'."},
        // The error is found after a statement that would fail at run time, and in a statement
        // on a table the batch itself creates.
        {"INSERT INTO [dbo].[nosuch] ([v]) VALUES (1);CREATE TABLE [dbo].[e] ([v] int NULL);"
         "INSERT INTO [dbo].[d] ([v]) VALUES (1);UPDATE [dbo].[e] SET WHERE [v] = 1",
         156, "Incorrect syntax near the keyword 'WHERE'."},
    };
    for (const auto& e : cases) {
        SCOPED_TRACE(e.statement);
        EXPECT_FALSE(c_.execute(e.statement));
        ASSERT_FALSE(c_.diagnostics().empty());
        EXPECT_EQ(c_.diagnostics()[0].native, e.native);
        EXPECT_EQ(c_.diagnostics()[0].message, std::string("[FreeTDS][SQL Server]") + e.message);
        c_.close_cursor();
        EXPECT_TRUE(rows("SELECT * FROM d").empty());
        EXPECT_FALSE(c_.execute("SELECT * FROM e"));
        c_.close_cursor();
    }
    // A statement that fails at run time stops the batch there: what ran before it stays.
    if (c_.execute("CREATE TABLE [dbo].[e] ([v] int NULL);INSERT INTO [dbo].[d] ([v]) VALUES "
                   "(1);INSERT INTO [dbo].[nosuch] ([v]) VALUES (2)"))
        while (c_.more_results()) {
        }
    c_.close_cursor();
    EXPECT_EQ(rows("SELECT * FROM d"), std::vector<std::string>{"1"});
    EXPECT_TRUE(rows("SELECT * FROM e").empty());
}

TEST_F(TdsWrites, RefusesAsSqlServerDoes) {
    run("CREATE TABLE [dbo].[r] ([id] int IDENTITY(1,1) NOT NULL, [code] varchar(3) NOT NULL, "
        "[n] nvarchar(2) NULL, [b] varbinary(2) NULL, [rv] rowversion, [total] AS ([id]*2), "
        "CONSTRAINT [PK_r] PRIMARY KEY ([code]), CONSTRAINT [UQ_r_n] UNIQUE ([n]))");
    run("INSERT INTO [dbo].[r]([code], [n]) VALUES( 'abc', N'x')");
    const refusal cases[] = {
        {"INSERT INTO [dbo].[r]([id], [code]) VALUES( 5, 'def')", 544,
         "Cannot insert explicit value for identity column in table 'r' when IDENTITY_INSERT is "
         "set to OFF."},
        {"INSERT INTO [dbo].[r]([code]) VALUES( 'ABC')", 2627,
         "Violation of PRIMARY KEY constraint 'PK_r'. Cannot insert duplicate key in object "
         "'dbo.r'. The duplicate key value is (ABC)."},
        {"INSERT INTO [dbo].[r]([code], [n]) VALUES( 'q', N'x')", 2627,
         "Violation of UNIQUE KEY constraint 'UQ_r_n'. Cannot insert duplicate key in object "
         "'dbo.r'. The duplicate key value is (x)."},
        {"INSERT INTO [dbo].[r]([code]) VALUES( 'abcd')", 2628,
         "String or binary data would be truncated in table 'velmora_types.dbo.r', column "
         "'code'. Truncated value: 'abc'."},
        {"INSERT INTO [dbo].[r]([code], [b]) VALUES( 'q', 0x010203)", 2628,
         "String or binary data would be truncated in table 'velmora_types.dbo.r', column 'b'. "
         "Truncated value: '0x0102'."},
        {"INSERT INTO [dbo].[r]([code], [nope]) VALUES( 'q', 1)", 207,
         "Invalid column name 'nope'."},
        {"INSERT INTO [dbo].[nosuch]([a]) VALUES( 1)", 208, "Invalid object name 'dbo.nosuch'."},
        {"INSERT INTO [dbo].[r]([code], [rv]) VALUES( 'q', 0x01)", 273,
         "Cannot insert an explicit value into a timestamp column. Use INSERT with a column list "
         "to exclude the timestamp column, or insert a DEFAULT into the timestamp column."},
        {"INSERT INTO [dbo].[r]([code], [total]) VALUES( 'q', 1)", 271,
         "The column \"total\" cannot be modified because it is either a computed column or is "
         "the result of a UNION operator."},
        {"INSERT INTO [dbo].[r]([code]) VALUES( NULL)", 515,
         "Cannot insert the value NULL into column 'code', table 'velmora_types.dbo.r'; column "
         "does not allow nulls. INSERT fails."},
        {"INSERT INTO [dbo].[r]([code], [n]) VALUES( 'q', True)", 128,
         "The name \"True\" is not permitted in this context. Valid expressions are constants, "
         "constant expressions, and (in some contexts) variables. Column names are not "
         "permitted."},
        {"INSERT INTO [dbo].[r]([code], [b]) VALUES( 'Abc ', 0x)", 2627,
         "Violation of PRIMARY KEY constraint 'PK_r'. Cannot insert duplicate key in object "
         "'dbo.r'. The duplicate key value is (Abc)."},
        {"INSERT INTO [dbo].[r]([code] VALUES( 'q')", 156,
         "Incorrect syntax near the keyword 'VALUES'."},
        {"UPDATE [dbo].[r] SET  WHERE [code]='abc'", 156,
         "Incorrect syntax near the keyword 'WHERE'."},
        {"DELETE FROM [dbo].[r] WITH (ROWLOCK) WHERE ", 102, "Incorrect syntax near 'WHERE'."},
        {"UPDATE [dbo].[r] SET [id]=3 WHERE [code]='abc'", 8102,
         "Cannot update identity column 'id'."},
        {"INSERT INTO [dbo].[r]([code], [b]) VALUES( 'q', 'text')", 257,
         "Implicit conversion from data type varchar to varbinary is not allowed. Use the "
         "CONVERT function to run this query."},
        {"CREATE TABLE [dbo].[r] ([a] int)", 2714,
         "There is already an object named 'r' in the database."},
        {"DROP TABLE [dbo].[nosuch]", 3701,
         "Cannot drop the table 'dbo.nosuch', because it does not exist or you do not have "
         "permission."},
    };
    for (const auto& e : cases) {
        SCOPED_TRACE(e.statement);
        EXPECT_FALSE(c_.execute(e.statement));
        ASSERT_FALSE(c_.diagnostics().empty());
        EXPECT_EQ(c_.diagnostics()[0].native, e.native);
        EXPECT_EQ(c_.diagnostics()[0].message, std::string("[FreeTDS][SQL Server]") + e.message);
    }
    // Nothing of the refused statements was kept; trailing blanks past the length are cut.
    run("INSERT INTO [dbo].[r]([code]) VALUES( 'q    ')");
    EXPECT_EQ(rows("SELECT id, code, n FROM r"),
              (std::vector<std::string>{"1|abc|x", "2|q  |NULL"}));
}

} // namespace
