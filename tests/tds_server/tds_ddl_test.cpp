// Defining objects on the TDS test server through FreeTDS's ODBC driver: schemas, keys,
// constraints, indexes, sequences and views, the catalogue probes, and SQL Server's refusals
// with their numbers and texts.
#include "tds_write_fixture.h"

#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class TdsDdl : public tds_write_test {
protected:
    void SetUp() override {
        tds_write_test::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        run("CREATE TABLE [dbo].[p] ([id] int NOT NULL, [code] nvarchar(10) NULL, [wide] "
            "nvarchar(600) NULL, [fixed] nchar(500) NULL, [memo] nvarchar(max) NULL)");
        run("CREATE TABLE [dbo].[c] ([id] int NOT NULL, [p_id] int NULL)");
        run("INSERT INTO [dbo].[p]([id], [code]) VALUES( 1, N'a')");
        run("INSERT INTO [dbo].[p]([id], [code]) VALUES( 2, NULL)");
        run("INSERT INTO [dbo].[p]([id], [code]) VALUES( 3, NULL)");
    }
    // "native: message" of a refused statement.
    std::string refusal(const std::string& statement) {
        if (c_.execute(statement)) {
            c_.close_cursor();
            return "accepted";
        }
        const auto& d = c_.diagnostics();
        return d.empty() ? "no diagnostics"
                         : std::to_string(d.front().native) + ": " + d.front().message;
    }
    std::string value(const std::string& query) {
        EXPECT_TRUE(c_.execute(query)) << c_.describe_diagnostics();
        std::string out = SQL_SUCCEEDED(c_.fetch()) ? c_.text(1).value_or("NULL") : "none";
        c_.close_cursor();
        return out;
    }
};

// The message text after FreeTDS's "[FreeTDS][SQL Server]" prefix.
std::string bare(const std::string& text) {
    const std::size_t at = text.rfind(']');
    return at == std::string::npos ? text : text.substr(at + 1);
}

} // namespace

TEST_F(TdsDdl, DefinesObjectsAndAnswersTheProbes) {
    const std::string create_schema =
        "IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   "
        "SCHEMA_NAME = N'o''s' ) BEGIN EXEC sp_executesql N'CREATE SCHEMA [o''s]' END";
    run(create_schema);
    run(create_schema); // exists: nothing to do
    run("ALTER TABLE [dbo].[p] ADD CONSTRAINT [PK_p] PRIMARY KEY NONCLUSTERED([id])");
    run("ALTER TABLE [dbo].[p] ADD UNIQUE ([id], [code])");
    // Filtered: the NULL codes are not in the index, so they do not collide.
    run("CREATE UNIQUE INDEX [UX_code] ON [dbo].[p]([code]) WHERE [code] IS NOT NULL");
    run("INSERT INTO [dbo].[p]([id], [code]) VALUES( 4, NULL)");
    run("ALTER TABLE [dbo].[c] ADD CONSTRAINT [FK_c] FOREIGN KEY ([p_id]) REFERENCES "
        "[dbo].[p]([id]) ON DELETE SET NULL ON UPDATE CASCADE");
    run("CREATE SEQUENCE [o's].[n] START WITH -5 INCREMENT BY -1 MINVALUE -100 MAXVALUE -1 CYCLE");
    run("DROP SEQUENCE IF EXISTS [o's].[gone]");
    run("IF OBJECT_ID(N'[dbo].[v]') IS NOT NULL DROP VIEW [dbo].[v]");
    run("CREATE VIEW [dbo].[v] AS select [id] from [dbo].[p]");
    run("IF OBJECT_ID(N'[dbo].[v]') IS NOT NULL DROP VIEW [dbo].[v]");
    run("CREATE VIEW [dbo].[v] AS select [id] from [dbo].[p]");

    EXPECT_EQ(value("SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE "
                    "CONSTRAINT_NAME=N'PK_p'"),
              "1");
    EXPECT_EQ(value("SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE "
                    "CONSTRAINT_NAME=N'FK_c'"),
              "1");
    EXPECT_EQ(value("SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE "
                    "CONSTRAINT_NAME=N'UX_code'"),
              "0");
    EXPECT_EQ(value("SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME=N'UX_code'"), "1");
    EXPECT_EQ(value("SELECT name from master.sys.databases ORDER BY name"), "master");
    EXPECT_EQ(value("SELECT CAST(name AS varchar), CAST(start_value AS int), CAST(increment AS "
                    "int), CAST(minimum_value AS bigint), CAST(maximum_value AS bigint), "
                    "is_cycling FROM SYS.SEQUENCES"),
              "n");
    EXPECT_EQ(value("select name, definition from sys.objects o join sys.sql_modules m on "
                    "m.object_id = o.object_id where o.type = 'V'"),
              "v");
}

TEST_F(TdsDdl, RefusesAsSqlServerDoes) {
    run("ALTER TABLE [dbo].[p] ADD CONSTRAINT [PK_p] PRIMARY KEY NONCLUSTERED([id])");
    const struct {
        const char* statement;
        const char* answer;
    } cases[] = {
        {"ALTER TABLE [dbo].[c] ADD CONSTRAINT [PK_p] PRIMARY KEY ([id])",
         "2714: There is already an object named 'PK_p' in the database."},
        {"ALTER TABLE [dbo].[p] ADD PRIMARY KEY ([code])",
         "1779: Table 'p' already has a primary key defined on it."},
        {"ALTER TABLE [dbo].[c] ADD PRIMARY KEY ([p_id])",
         "8111: Cannot define PRIMARY KEY constraint on nullable column in table 'c'."},
        {"ALTER TABLE [dbo].[p] ADD UNIQUE ([code]) WHERE [code] IS NOT NULL",
         "156: Incorrect syntax near the keyword 'WHERE'."},
        {"ALTER TABLE [dbo].[p] ADD UNIQUE ([code])",
         "1505: The CREATE UNIQUE INDEX statement terminated because a duplicate key was found "
         "for the object name 'dbo.p' and the index name '"},
        {"ALTER TABLE [dbo].[c] ADD CONSTRAINT [FK_x] FOREIGN KEY ([p_id]) REFERENCES "
         "[dbo].[p]([code])",
         "1776: There are no primary or candidate keys in the referenced table 'dbo.p' that match "
         "the referencing column list in the foreign key 'FK_x'."},
        {"ALTER TABLE [dbo].[p] ADD CONSTRAINT [FK_self] FOREIGN KEY ([id]) REFERENCES "
         "[dbo].[p]([id]) ON DELETE CASCADE",
         "1785: Introducing FOREIGN KEY constraint 'FK_self' on table 'p' may cause cycles or "
         "multiple cascade paths. Specify ON DELETE NO ACTION or ON UPDATE NO ACTION, or modify "
         "other FOREIGN KEY constraints."},
        {"CREATE INDEX [IX_fixed] ON [dbo].[p]([fixed], [id])", "accepted"},
        {"CREATE CLUSTERED INDEX [IX_big] ON [dbo].[p]([fixed])",
         "1944: Index 'IX_big' was not created. This index has a key length of at least 1000 "
         "bytes. The maximum permissible key length is 900 bytes."},
        {"CREATE INDEX [IX_memo] ON [dbo].[p]([memo])",
         "1919: Column 'memo' in table 'dbo.p' is of a type that is invalid for use as a key "
         "column in an index."},
        {"CREATE INDEX [IX_fixed] ON [dbo].[p]([id])",
         "1913: The operation failed because an index or statistics with name 'IX_fixed' already "
         "exists on table 'dbo.p'."},
        {"CREATE TABLE [dbo].[t] ([x] nonsense)",
         "2715: Column, parameter, or variable #1: Cannot find data type nonsense."},
        {"CREATE SEQUENCE [dbo].[p] START WITH 1 INCREMENT BY 1 MINVALUE 1 MAXVALUE 9",
         "2714: There is already an object named 'p' in the database."},
        {"DROP VIEW [dbo].[p]", "3705: Cannot use DROP VIEW with 'dbo.p' because 'dbo.p' is a "
                                "table. Use DROP TABLE."},
        {"CREATE VIEW [dbo].[v] AS select [id] from [dbo].[nothing]",
         "208: Invalid object name 'dbo.nothing'."},
    };
    for (const auto& c : cases) {
        const std::string got = refusal(c.statement);
        const std::size_t colon = got.find(": ");
        const std::string shown = colon == std::string::npos
                                      ? got
                                      : got.substr(0, colon + 2) + bare(got.substr(colon + 2));
        EXPECT_EQ(shown.substr(0, std::string(c.answer).size()), c.answer) << c.statement;
    }
}

// A key that may grow past the limit is created with warning 1945, which fails nothing; a row
// whose entry is too long is refused with 1946.
TEST_F(TdsDdl, WarnsOfVariableKeysAndRefusesLongEntries) {
    ASSERT_TRUE(c_.execute("CREATE CLUSTERED INDEX [IX_wide] ON [dbo].[p]([wide])"))
        << c_.describe_diagnostics();
    ASSERT_FALSE(c_.diagnostics().empty());
    EXPECT_EQ(c_.diagnostics().front().native, 1945);
    EXPECT_EQ(bare(c_.diagnostics().front().message),
              "Warning! The maximum key length for a clustered index is 900 bytes. The index "
              "'IX_wide' has maximum length of 1200 bytes. For some combination of large values, "
              "the insert/update operation will fail.");
    while (c_.more_results()) {
    }
    c_.close_cursor();
    run("INSERT INTO [dbo].[p]([id], [wide]) VALUES( 10, N'short')");
    const std::string long_value(451, 'x');
    EXPECT_EQ(refusal("INSERT INTO [dbo].[p]([id], [wide]) VALUES( 11, N'" + long_value + "')")
                  .substr(0, 4),
              "1946");
    EXPECT_EQ(value("SELECT COUNT_BIG(*) FROM [dbo].[p]"), "4");
}

// Every statement cut short after any word gets an answer (a refusal, mostly) and the server
// stays up.
TEST_F(TdsDdl, AnswersStatementsCutShort) {
    const std::string statements[] = {
        "IF NOT EXISTS (SELECT SCHEMA_NAME FROM INFORMATION_SCHEMA.SCHEMATA WHERE SCHEMA_NAME = "
        "N'z' ) BEGIN EXEC sp_executesql N'CREATE SCHEMA [z]' END",
        "ALTER TABLE [dbo].[p] ADD CONSTRAINT [K] PRIMARY KEY NONCLUSTERED ( [id] )",
        "ALTER TABLE [dbo].[c] ADD CONSTRAINT [F] FOREIGN KEY ( [p_id] ) REFERENCES [dbo].[p] ( "
        "[id] ) ON DELETE CASCADE ON UPDATE NO ACTION",
        "CREATE UNIQUE CLUSTERED INDEX [U] ON [dbo].[p] ( [code] ) WHERE [code] IS NOT NULL",
        "CREATE SEQUENCE [dbo].[s] AS int START WITH 1 INCREMENT BY 1 MINVALUE 1 MAXVALUE 9 CYCLE",
        "IF OBJECT_ID(N'[dbo].[v]') IS NOT NULL DROP VIEW [dbo].[v]",
        "SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME=N'U'",
    };
    for (const std::string& statement : statements) {
        for (std::size_t cut = statement.find(' '); cut != std::string::npos;
             cut = statement.find(' ', cut + 1)) {
            c_.execute(statement.substr(0, cut));
            while (c_.more_results()) {
            }
            c_.close_cursor();
        }
    }
    EXPECT_EQ(value("SELECT COUNT_BIG(*) FROM [dbo].[p]"), "3");
}
