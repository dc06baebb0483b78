// Tests of the script file's head and options, against golden scripts, and of its failures.
#include "SQL/sql_dump.h"

#include "tests/SQL_dump/dmp_test_fixture.h"

#include "SQL/sql_engi.h"
#include "TK/tk_excep.h"
#include "UDB/udb_rel.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace dmp_test;

// A small database: two tables with keys, a foreign key and a view, rows with quotes,
// backslashes, non-BMP text, line breaks, NULLs and fractional seconds.
void write_sample(dmp_database& db) {
    auto id = column(L"id", VT_I4, 4);
    id->b_auto_num = true;
    id->b_not_null = true;
    auto name = column(L"name", VT_BSTR, 40);
    name->b_not_null = true;
    auto created = column(L"created", VT_DATE, 8, 9, 0, 3);
    created->default_value = ole_variant(std::wstring(L"getdate()"));
    const udb_schema customer = schema_of(
        {id, name, column(L"note", VT_BSTR, 0), created, column(L"birthday", VT_DATE, 3, 2)});
    udb_indexes customer_indexes;
    customer_indexes.push_back(index_of(L"PK_customer", true, true, {L"id"}));
    customer_indexes.push_back(index_of(L"ix_name", false, false, {L"name"}));
    {
        auto table = db.create_table(L"customer", customer, customer_indexes);
        table->append_record(record_of({{L"id", typed("1", VT_I4)},
                                        {L"name", ole_variant(std::wstring(L"O'Brien \\ x"))},
                                        {L"note", ole_variant()},
                                        {L"created", typed("2020-01-02 03:04:05.123", VT_DATE)},
                                        {L"birthday", typed("1960-05-06", VT_DATE)}}));
        table->append_record(
            record_of({{L"id", typed("2", VT_I4)},
                       {L"name", ole_variant(std::wstring(L"Zo\u00eb \U0001F600"))},
                       {L"note", ole_variant(std::wstring(L"line\nbreak"))},
                       {L"created", typed("1969-12-31 23:59:59.5", VT_DATE)},
                       {L"birthday", ole_variant()}}));
    }

    auto order_id = column(L"id", VT_I4, 4);
    order_id->b_not_null = true;
    const udb_schema orders =
        schema_of({order_id, column(L"customer_id", VT_I4, 4), column(L"amount", VT_CY, 8)});
    udb_indexes order_indexes;
    order_indexes.push_back(index_of(L"PK_orders", true, true, {L"id"}));
    {
        auto table = db.create_table(L"orders", orders, order_indexes);
        table->append_record(record_of({{L"id", typed("10", VT_I4)},
                                        {L"customer_id", typed("1", VT_I4)},
                                        {L"amount", typed("12.5", VT_CY)}}));
    }

    udb_relationships keys;
    keys.push_back(udb_relationship(L"fk_orders_customer", L"PK_customer", L"orders", L"customer",
                                    {L"customer_id"}, {L"id"}, L" ON DELETE CASCADE"));
    db.create_relationships(keys);
    db.create_views({{L"v_customer", L"SELECT [name]\r\n  FROM [customer] WHERE isnull(note, "
                                     L"'x') = 'x'"}});
    db.close();
}

struct golden_case {
    std::string file;
    void (*change)(dump_options&);
};

class golden_test : public dump_test, public ::testing::WithParamInterface<golden_case> {};

// Each option switched on its own, against the script written with it; set
// VELMORA_UPDATE_GOLDEN=1 to write the golden files again.
TEST_P(golden_test, ScriptEqualsGoldenFile) {
    const golden_case& c = GetParam();
    dump_options options;
    options.creator = "pontrel 1.0";
    c.change(options);
    {
        dmp_database db(wpath("shop.sql"), options);
        write_sample(db);
    }
    const std::string text = script_text("shop.sql");
    const std::string golden = std::string(VELMORA_DUMP_GOLDEN_DIR) + "/" + c.file;
    if (std::getenv("VELMORA_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(golden, std::ios::binary) << text;
    }
    EXPECT_EQ(text, read_file(golden)) << "golden file " << golden;
}

INSTANTIATE_TEST_SUITE_P(
    Options, golden_test,
    ::testing::Values(
        golden_case{"default.sql", [](dump_options&) {}},
        golden_case{"line_breaks.sql", [](dump_options& o) { o.line_breaks = 1; }},
        golden_case{"old_server.sql", [](dump_options& o) { o.new_version = false; }},
        golden_case{"no_lock_tables.sql", [](dump_options& o) { o.lock_tables = false; }},
        golden_case{"no_comments.sql", [](dump_options& o) { o.comments = false; }},
        golden_case{"create_database.sql", [](dump_options& o) { o.create_database = true; }},
        golden_case{"no_create_tables.sql", [](dump_options& o) { o.create_tables = false; }}),
    [](const ::testing::TestParamInfo<golden_case>& info) {
        std::string name = info.param.file.substr(0, info.param.file.find('.'));
        for (char& ch : name) {
            if (ch == '_') {
                ch = 'X';
            }
        }
        return name;
    });

TEST_F(dump_test, HeadHasCommentsCharacterSetAndModes) {
    dump_options options;
    options.creator = "velmora 2.1";
    {
        dmp_database db(wpath("head.sql"), options);
        db.close();
    }
    EXPECT_EQ(script_text("head.sql"),
              "# File name: <dir>/head.sql\r\n"
              "# Creation date: 03/04/2026\r\n"
              "# Created by velmora 2.1\r\n"
              "# --------------------------------------------------\r\n"
              "\r\n"
              "SET NAMES utf8;\r\n"
              "/*!50503 SET NAMES utf8mb4 */;\r\n"
              "/*!40101 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO' */;\r\n"
              "/*!50002 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES' */;\r\n"
              "/*!50008 SET SESSION "
              "sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION' */;\r\n"
              "/*!40014 SET FOREIGN_KEY_CHECKS = 0 */;\r\n"
              "# Script complete\r\n");
    EXPECT_EQ(engine_.version, 0x40100u);
}

TEST_F(dump_test, HeadNamesUtf8WhateverCharacterSetTheTablesTake) {
    // The file is UTF-8: a chosen latin1 goes into CREATE DATABASE only.
    engine_.charset = L"latin1";
    dump_options options;
    options.comments = false;
    options.create_database = true;
    {
        dmp_database db(wpath("latin.sql"), options);
        db.close();
    }
    const std::string text = script_text("latin.sql");
    EXPECT_EQ(text.substr(0, 20), "\r\nSET NAMES utf8;\r\n/");
    EXPECT_NE(text.find("\r\nCREATE DATABASE `latin` character set latin1;\r\nUSE `latin`;\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("SET NAMES latin1"), std::string::npos);
}

TEST_F(dump_test, DatabaseNameComesFromOptionsOrTheFileName) {
    struct {
        const char* file;
        bool new_version;
        std::string database_name;
        const char* expected;
    } cases[] = {
        {"b.c.sql", true, "", "DROP DATABASE IF EXISTS `b.c`;"},
        // Quoted for old servers too: `victim;x.sql` must not drop `victim` on replay.
        {"b.c.sql", false, "", "DROP DATABASE IF EXISTS `b.c`;"},
        {"victim;x.sql", false, "",
         "DROP DATABASE IF EXISTS `victim;x`;\r\n"
         "CREATE DATABASE `victim;x`"},
        {"x.sql", true, "shop`s", "DROP DATABASE IF EXISTS `shop``s`;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        dump_options options;
        options.create_database = true;
        options.new_version = c.new_version;
        options.database_name = c.database_name;
        {
            dmp_database db(wpath(c.file), options);
            db.close();
        }
        EXPECT_NE(script_text(c.file).find(c.expected), std::string::npos);
    }
}

TEST_F(dump_test, EmptyCharacterSetLeavesTheDatabaseToTheServerDefault) {
    engine_.charset.clear();
    dump_options options;
    options.comments = false;
    options.create_database = true;
    {
        dmp_database db(wpath("x.sql"), options);
        db.close();
    }
    const std::string text = script_text("x.sql");
    EXPECT_NE(text.find("SET NAMES utf8;\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nCREATE DATABASE `x`;\r\n"), std::string::npos) << text;
}

TEST_F(dump_test, CreateDatabaseNeedsCreateTables) {
    dump_options options;
    options.create_database = true;
    options.create_tables = false;
    {
        dmp_database db(wpath("x.sql"), options);
        db.close();
    }
    EXPECT_EQ(script_text("x.sql").find("DATABASE"), std::string::npos);
}

TEST_F(dump_test, BackslashesOfThePathBecomeSlashes) {
    dump_options options;
    {
        dmp_database db(wpath("D:\\out\\x.sql"), options);
        db.close();
    }
    EXPECT_EQ(script_text("D:\\out\\x.sql").substr(0, 33), "# File name: <dir>/D:/out/x.sql\r\n");
}

TEST_F(dump_test, OldServerScriptFixesTheOldVersionWord) {
    dump_options options;
    options.new_version = false;
    {
        dmp_database db(wpath("old.sql"), options);
        db.close();
    }
    EXPECT_EQ(engine_.version, 0x31401u);
}

TEST_F(dump_test, GetTableIsAnInternalErrorAndQueriesGiveNothing) {
    dump_options options;
    dmp_database db(wpath("x.sql"), options);
    try {
        db.get_table(L"t", 0);
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.level, 2);
        EXPECT_EQ(e.message, make_err_meggase("sql_dump", 153));
    }
    EXPECT_EQ(db.get_query(L"q", L"select 1", 0), nullptr);
    EXPECT_FALSE(db.test_query(L"select 1"));
}

TEST_F(dump_test, EngineCreatesTheScript) {
    dump_options options;
    options.comments = false;
    std::unique_ptr<dmp_database> db = engine_.create_dump(wpath("engine.sql"), options);
    ASSERT_NE(db, nullptr);
    db->close();
    EXPECT_EQ(script_text("engine.sql").substr(0, 19), "\r\nSET NAMES utf8;\r\n");
}

// A script file that cannot be made is the run's error, not a run without a script.
TEST_F(dump_test, UnopenableFileIsAnError) {
    dump_options options;
    try {
        dmp_database db(wpath("missing/x.sql"), options);
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level, 1);
        EXPECT_NE(e.message.find("missing/x.sql"), std::string::npos) << e.message;
        EXPECT_NE(e.message.find("No such file or directory"), std::string::npos) << e.message;
    }
    EXPECT_FALSE(std::filesystem::exists(path("missing")));
    // The version word is fixed before the file is opened.
    EXPECT_EQ(engine_.version, 0x40100u);
}

// Writes a script whose rows outgrow a file-size limit, in a child that ignores SIGXFSZ so
// that the write fails with EFBIG. Long rows pass the stream's buffer and fail while rows are
// written; short rows wait in the buffer and fail when the file is closed. The child's exit
// code: 0 when the script's write error was raised where expected, 1 when the script was written
// "successfully", 2 for anything else.
int write_past_size_limit(const std::wstring& file, bool short_rows) {
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        bool rows_written = false;
        int code = 2;
        try {
            sql_engine engine;
            dump_options options;
            dmp_database db(file, options);
            const udb_schema schema = schema_of({column(L"text", VT_BSTR, 0)});
            {
                auto table = db.create_table(L"t", schema, {});
                const std::wstring text(short_rows ? 200 : 4000, L'x');
                for (int i = 0; i < 500; ++i) {
                    table->append_record(record_of({{L"text", ole_variant(text)}}));
                }
            }
            rows_written = true;
            db.close();
            code = 1;
        } catch (const tk_exception& e) {
            const bool expected = e.level == 1 && rows_written == short_rows &&
                                  e.message.find("File too large") != std::string::npos;
            code = expected ? 0 : 2;
        } catch (...) {
            code = 2;
        }
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

// The names in the test folder.
std::vector<std::string> folder_names(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A script that fails to reach the disk is not left behind in part, and the script it was to
// replace stays.
TEST_F(dump_test, FullDiskWhileRowsAreWrittenIsAnError) {
    std::ofstream(path("rows.sql")) << "old";
    EXPECT_EQ(write_past_size_limit(wpath("rows.sql"), false), 0);
    EXPECT_EQ(script_text("rows.sql"), "old");
    EXPECT_EQ(folder_names(path("")), std::vector<std::string>{"rows.sql"});
}

TEST_F(dump_test, FullDiskWhenTheFileIsClosedIsAnError) {
    EXPECT_EQ(write_past_size_limit(wpath("close.sql"), true), 0);
    EXPECT_TRUE(folder_names(path("")).empty());
}

// Only close() puts the script at its path; a script given up (an error ended the run) leaves
// the path as it was, with nothing beside it.
TEST_F(dump_test, ScriptStandsAtItsPathOnlyWhenClosed) {
    dump_options options;
    const udb_schema schema = schema_of({column(L"a", VT_I4, 4)});
    for (const bool keep_old : {true, false}) {
        SCOPED_TRACE(keep_old ? "replacing a script" : "new script");
        std::filesystem::remove(path("x.sql"));
        if (keep_old) {
            std::ofstream(path("x.sql")) << "old";
        }
        {
            dmp_database db(wpath("x.sql"), options);
            db.create_table(L"t", schema, {})
                ->append_record(record_of({{L"a", typed("1", VT_I4)}}));
            EXPECT_EQ(std::filesystem::exists(path("x.sql")), keep_old);
        }
        EXPECT_EQ(folder_names(path("")),
                  keep_old ? std::vector<std::string>{"x.sql"} : std::vector<std::string>{});
        if (keep_old) {
            EXPECT_EQ(script_text("x.sql"), "old");
        }
        {
            dmp_database db(wpath("x.sql"), options);
            db.discard();
            db.close();
        }
        EXPECT_EQ(std::filesystem::exists(path("x.sql")), keep_old) << "close after discard";
    }
    // A second script of the same path is refused while the first is open.
    dmp_database first(wpath("x.sql"), options);
    try {
        dmp_database second(wpath("x.sql"), options);
        ADD_FAILURE() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level, 1);
        EXPECT_NE(e.message.find("is being written by another run"), std::string::npos);
    }
    first.close();
    EXPECT_TRUE(script_text("x.sql").ends_with("# Script complete\r\n"));
}

} // namespace
