// Profile sections and keys: loading, storing, the mends of the profile file.
#include "tests/converter/converter_test_support.h"

#include "UDB/udb_prof.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

using converter_test::driver_env;
using converter_test::temp_dir;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(Profile, ModeKeyAcceptsZeroToFourAndRefusesTheRest) {
    driver_env env;
    velmora_convertor converter;
    struct row {
        const wchar_t* value;
        bool refused;
        std::int32_t mode_after;
    };
    for (const row& r :
         {row{L"3", false, 3}, row{L"", false, 3}, row{L"0", false, 0}, row{L"9", true, 0},
          row{L"12", true, 0}, row{L"-1", true, 0}, row{L"4", false, 4}, row{L"5", true, 4}}) {
        SCOPED_TRACE(tk_to_utf8(r.value));
        udb_profile profile;
        profile.set_value(L"Generic settings", L"mode", r.value);
        profile.set_value(L"Generic settings", L"src", L"changed");
        converter.src = L"before";
        if (r.refused) {
            try {
                apply_profile(converter, profile);
                ADD_FAILURE() << "not refused";
            } catch (const tk_exception& error) {
                EXPECT_STREQ(error.what(), "Invalid merge/overwrite mode");
                EXPECT_EQ(error.level, 1);
            }
            EXPECT_EQ(converter.src, L"before") << "nothing applied";
        } else {
            EXPECT_TRUE(apply_profile(converter, profile));
        }
        EXPECT_EQ(converter.mode, r.mode_after);
    }
}

TEST(Profile, FlagRulesAndMissingSections) {
    driver_env env;
    velmora_convertor converter;
    converter.host = "old-host";
    converter.pswd = "old-password";
    converter.user = "old-user";
    converter.port = "3307";
    converter.mssqlh = L"mss-host";
    converter.sec_log = true;
    udb_profile profile;
    profile.set_value(L"Generic settings", L"skip indexes", L"yes");
    profile.set_value(L"Generic settings", L"only definitions", L"0");
    profile.set_value(L"MS SQL Server settings", L"windows authentication", L"0");
    ASSERT_TRUE(apply_profile(converter, profile));
    EXPECT_TRUE(converter.skip_idx);
    EXPECT_FALSE(converter.tab_def);
    EXPECT_FALSE(converter.sec_log);
    EXPECT_EQ(converter.host, "") << "a profile always sets the host";
    EXPECT_EQ(converter.pswd, "") << "and the password";
    EXPECT_EQ(converter.user, "old-user");
    EXPECT_EQ(converter.port, "3307");
    EXPECT_EQ(converter.mssqlh, L"mss-host");

    udb_profile second;
    second.set_value(L"MySQL settings", L"dump create table", L"yes");
    second.set_value(L"MySQL settings", L"dump line break", L"1");
    second.set_value(L"MySQL settings", L"direct mode", L"0");
    second.set_value(L"Generic settings", L"character set", L"latin1");
    second.set_value(L"Generic settings", L"storage engine", L"MyISAM");
    second.set_value(L"Generic settings", L"view owned", L"0");
    ASSERT_TRUE(apply_profile(converter, second));
    EXPECT_FALSE(converter.dump_opts.create_tables);
    EXPECT_EQ(converter.dump_opts.line_breaks, 1);
    EXPECT_FALSE(converter.direct);
    EXPECT_EQ(converter.sql->charset, L"latin1");
    EXPECT_EQ(converter.sql->storage_engine, L"MyISAM");
    EXPECT_FALSE(converter.view_owned);
    EXPECT_FALSE(converter.mss->is_view_owned());
}

// The Type Mappings texts that go into CREATE TABLE as they stand: a hostile type or default is
// refused with its table and column named, and the profile applies nothing more.
TEST(Profile, TypeMappingsRefuseTypesAndDefaultsThatAreNotMySqlForms) {
    driver_env env;
    struct row {
        const wchar_t* type;
        const wchar_t* default_value;
        const char* message; // empty: accepted
    };
    const row rows[] = {
        {L"DECIMAL", L"((0))", ""},
        {L"DATETIME", L"getdate()", ""},
        {L"INT) ; DROP DATABASE victim; -- ", L"",
         "Table '[dbo].[orders]', column 'amount': the type mapping's type 'INT) ; DROP DATABASE "
         "victim; --' is not a MySQL type"},
        {L"INT", L"0 COMMENT 'x'",
         "Table '[dbo].[orders]', column 'amount': the type mapping's default '0 COMMENT 'x'' is "
         "not a literal or a current-time function"},
        {L"VARCHAR", L"'a'); DROP TABLE t; --",
         "Table '[dbo].[orders]', column 'amount': the type mapping's default ''a'); DROP TABLE "
         "t; --' is not a literal or a current-time function"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(tk_to_utf8(r.type) + " / " + tk_to_utf8(r.default_value));
        udb_profile profile;
        for (const std::wstring& line :
             {std::wstring(L"database:"), std::wstring(L"tables:"),
              std::wstring(L"  - name: [dbo].[orders]"), std::wstring(L"    fields:"),
              std::wstring(L"      - name:amount"), L"        type: " + std::wstring(r.type),
              L"        default_value: " + std::wstring(r.default_value)}) {
            profile.add_line(L"Type Mappings", line);
        }
        velmora_convertor converter;
        const std::wstring charset = converter.sql->charset;
        if (*r.message == '\0') {
            EXPECT_TRUE(apply_profile(converter, profile));
            continue;
        }
        profile.set_value(L"Generic settings", L"character set", L"cp1250");
        try {
            apply_profile(converter, profile);
            ADD_FAILURE() << "not refused";
        } catch (const tk_exception& e) {
            EXPECT_STREQ(e.what(), r.message);
            EXPECT_EQ(e.level, 1);
        }
        EXPECT_EQ(converter.sql->charset, charset) << "nothing after the mappings applies";
    }
}

// A profile that is refused anywhere, down to its last Type Mappings line, leaves every setting
// as it was: a wizard that goes on after the error box must not run half of it.
TEST(Profile, ARefusedProfileChangesNothing) {
    driver_env env;
    temp_dir dir;
    const std::string kept_log = dir.file("kept.log");
    const auto bad_profile = [](const std::string& log_line, const std::string& mapping_line) {
        return "[Generic settings]\r\n" + log_line +
               "src=Other\r\ndest=elsewhere\r\nmode=3\r\n"
               "[MySQL settings]\r\nhost=other-host\r\ndirect mode=0\r\n"
               "[MS SQL Server settings]\r\nserver=other-server\r\n"
               "[Selected Tables]\r\ndbo.added\r\n"
               "[Type Mappings]\r\ndatabase:\r\ntables:\r\n"
               "  - name: [dbo].[new]\r\n    fields:\r\n      - name:a\r\n" +
               mapping_line;
    };
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"a Type Mappings line out of place", bad_profile("", "    new_name: late\r\n")},
        {"a type that is no MySQL type", bad_profile("", "        type: INT; DROP\r\n")},
        {"a log file that is a folder",
         bad_profile("logfile=" + dir.path + "\r\n", "        type: INT\r\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        velmora_convertor converter;
        write_file(dir.file("good.vlm"),
                   "[Generic settings]\r\nsrc=Shop\r\ndest=shop\r\nmode=1\r\nlogfile=" + kept_log +
                       "\r\n[MySQL settings]\r\nhost=db-host\r\ndirect mode=1\r\n"
                       "[MS SQL Server settings]\r\nserver=mss-host\r\n[Selected Tables]\r\n"
                       "dbo.kept\r\n[Type Mappings]\r\ndatabase:\r\ntables:\r\n"
                       "  - name: [dbo].[kept]\r\n    new_name: kept2\r\n");
        ASSERT_TRUE(load_profile_file(converter, dir.wfile("good.vlm")));
        write_file(dir.file("bad.vlm"), c.text);
        bool refused = false;
        try {
            refused = !load_profile_file(converter, dir.wfile("bad.vlm"));
        } catch (const tk_exception&) {
            refused = true;
        }
        EXPECT_TRUE(refused);
        EXPECT_EQ(converter.src, L"Shop");
        EXPECT_EQ(converter.dest, L"shop");
        EXPECT_EQ(converter.mode, 1);
        EXPECT_EQ(converter.log_file, kept_log);
        EXPECT_EQ(converter.host, "db-host");
        EXPECT_TRUE(converter.direct);
        EXPECT_EQ(converter.mssqlh, L"mss-host");
        EXPECT_EQ(converter.selected_queries, (std::vector<vlm_query>{{L"[dbo].[kept]", L""}}));
        ASSERT_NE(converter.get_table_mutator3(L"[dbo].[kept]"), nullptr);
        EXPECT_EQ(converter.get_table_mutator3(L"[dbo].[kept]")->new_name, L"kept2");
        EXPECT_EQ(converter.get_table_mutator3(L"[dbo].[new]"), nullptr);
    }
}

TEST(Profile, SelectedTablesLoadInFileOrderAsTablesAndQueries) {
    driver_env env;
    temp_dir dir;
    write_file(dir.file("p.vlm"), "[Selected Tables]\r\ndbo.Orders\r\nTop10=select top 10 * from "
                                  "Orders\r\nPlain\r\n[Generic settings]\r\nsrc=Shop\r\n");
    velmora_convertor converter;
    ASSERT_TRUE(load_profile_file(converter, dir.wfile("p.vlm")));
    const std::vector<vlm_query> expected = {
        {L"[dbo].[Orders]", L""}, {L"Top10", L"select top 10 * from Orders"}, {L"Plain", L""}};
    EXPECT_EQ(converter.selected_queries, expected);
    EXPECT_EQ(converter.src, L"Shop");
    ASSERT_TRUE(load_profile_file(converter, dir.wfile("p.vlm")));
    EXPECT_EQ(converter.selected_queries.size(), 6u) << "a second load appends";
    EXPECT_THROW(load_profile_file(converter, dir.wfile("missing.vlm")), tk_exception);
}

TEST(Profile, StoringKeepsTheSelectionAndFlattensTexts) {
    driver_env env;
    temp_dir dir;
    velmora_convertor converter;
    converter.selected_queries = {{L"[dbo].[Orders]", L""},
                                  {L"Q", L"select a\r\nfrom t\nwhere b = 1\rorder by a"}};
    ASSERT_TRUE(save_profile_file(converter, dir.wfile("a.vlm")));
    EXPECT_EQ(converter.selected_queries.size(), 2u) << "the selection stays";
    const std::string text = read_file(dir.file("a.vlm"));
    EXPECT_NE(text.find("[Selected Tables]\r\ndbo.Orders\r\nQ=select a from t where b = 1 order "
                        "by a\r\n"),
              std::string::npos)
        << text;
    ASSERT_TRUE(save_profile_file(converter, dir.wfile("b.vlm")));
    EXPECT_EQ(read_file(dir.file("b.vlm")), text) << "storing again writes the same selection";

    // The profile holds passwords: its file is the user's alone, also when it existed before.
    write_file(dir.file("c.vlm"), "old");
    chmod(dir.file("c.vlm").c_str(), 0644);
    ASSERT_TRUE(save_profile_file(converter, dir.wfile("c.vlm")));
    // A named pipe nobody reads is refused at once, not waited on.
    ASSERT_EQ(mkfifo(dir.file("pipe.vlm").c_str(), 0600), 0);
    EXPECT_FALSE(save_profile_file(converter, dir.wfile("pipe.vlm")));
    for (const char* name : {"a.vlm", "c.vlm"}) {
        struct stat st {};
        ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

// A "--" comment would swallow the rest of a query once its lines are joined.
TEST(Profile, LineCommentsBecomeBlockCommentsBeforeLinesAreJoined) {
    struct row {
        std::wstring in;
        std::wstring out;
    };
    const std::vector<row> rows = {
        {L"select a -- the key\r\nfrom t", L"select a /* the key*/ from t"},
        {L"select '--not' as x\nfrom t -- end", L"select '--not' as x from t /* end*/"},
        {L"select [a--b]\n--*/ tricky\nfrom t", L"select [a--b] /** / tricky*/ from t"},
        {L"select a -- see /* here\nfrom t", L"select a /* see / * here*/ from t"},
        {L"select a --/*/\nfrom t", L"select a /*/ * / */ from t"},
        {L"select a --*/\nfrom t", L"select a /** / */ from t"},
        {L"select 1 /* -- inside\n */ from t", L"select 1 /* -- inside  */ from t"},
        // Block comments nest: the "--" stands inside the outer one.
        {L"select a /* /* */ -- x */ from t", L"select a /* /* */ -- x */ from t"},
        {L"select 'it''s -- here'\nfrom t", L"select 'it''s -- here' from t"},
        {L"no comment", L"no comment"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(tk_to_utf8(r.in));
        EXPECT_EQ(vlm_profile_text(r.in), r.out);
    }
}

TEST(Profile, QueryWithCommentRunsTheSameAfterStoreAndLoad) {
    driver_env env;
    temp_dir dir;
    velmora_convertor converter;
    converter.selected_queries = {{L"Q", L"select a -- only a\nfrom t"}};
    converter.available_queries = {{L"R", L"select b\n-- note\nfrom u"}};
    ASSERT_TRUE(save_profile_file(converter, dir.wfile("q.vlm")));
    velmora_convertor loaded(vlm_program::console);
    ASSERT_TRUE(load_profile_file(loaded, dir.wfile("q.vlm")));
    ASSERT_EQ(loaded.selected_queries.size(), 1u);
    EXPECT_EQ(loaded.selected_queries[0].second, L"select a /* only a*/ from t");
    ASSERT_EQ(loaded.available_queries.size(), 1u);
    EXPECT_EQ(loaded.available_queries[0].second, L"select b /* note*/ from u");
}

TEST(Profile, StoreAndLoadGiveTheSameSettings) {
    driver_env env;
    temp_dir dir;
    velmora_convertor converter;
    converter.src = L"Shop";
    converter.dest = L"shop_copy";
    converter.mode = 4;
    converter.skip_idx = true;
    converter.store_mysql_settings("127.0.0.1", "u", "p w", "3310");
    converter.mssqlh = L"server";
    converter.mssqlu = L"login";
    converter.mssqlp = L"mss password";
    converter.sec_log = false;
    converter.set_as_dbo(false);
    converter.set_view_owned(false);
    converter.mss_schema = L"sales";
    converter.direct = false;
    converter.sql->charset = L"latin1";
    converter.selected_queries = {{L"[sales].[Orders]", L""}, {L"Q", L"select 1"}};
    converter.selected_views = {{L"V", L"select * from Orders"}};
    sql_table_mutator* table = converter.get_table_mutator2(L"[sales].[Orders]", L"orders");
    sql_native_type type;
    type.type = L"VARCHAR";
    type.length = 40;
    table->update_field(L"Name", L"name", type)->status = udb_mutators::changed;
    ASSERT_TRUE(save_profile_file(converter, dir.wfile("one.vlm")));

    velmora_convertor loaded;
    ASSERT_TRUE(load_profile_file(loaded, dir.wfile("one.vlm")));
    EXPECT_EQ(loaded.src, L"Shop");
    EXPECT_EQ(loaded.mode, 4);
    EXPECT_EQ(loaded.pswd, "p w");
    EXPECT_EQ(loaded.mssqlp, L"mss password");
    EXPECT_FALSE(loaded.as_dbo);
    EXPECT_FALSE(loaded.view_owned);
    EXPECT_FALSE(loaded.direct);
    ASSERT_NE(loaded.get_table_mutator3(L"[sales].[Orders]"), nullptr);
    ASSERT_TRUE(save_profile_file(loaded, dir.wfile("two.vlm")));
    EXPECT_EQ(read_file(dir.file("two.vlm")), read_file(dir.file("one.vlm")));
}

// Passwords never reach the trace log, whatever its threshold.
TEST(Profile, PasswordsStayOutOfTheTraceLog) {
    converter_test::settings_home home;
    temp_dir dir;
    tk_logger logger(dir.file("trace.log").c_str(), true, 1, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    converter_test::scripted_ui ui;
    {
        velmora_convertor converter;
        converter.store_mysql_settings("h", "u", "MySqlSecret42", "");
        converter.mssqlp = L"MssSecret42";
        ASSERT_TRUE(save_profile_file(converter, dir.wfile("p.vlm")));
        velmora_convertor loaded(vlm_program::console);
        ASSERT_TRUE(load_profile_file(loaded, dir.wfile("p.vlm")));
    }
    const std::string log = read_file(dir.file("trace.log"));
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(log.find("Secret42"), std::string::npos) << log;
}

} // namespace

// A table whose name holds "=" comes back as that table, not as a query's name and text.
TEST(Profile, NamesWithAnEqualsSignComeBackWhole) {
    driver_env env;
    temp_dir dir;
    velmora_convertor converter;
    converter.selected_queries = {
        {L"[dbo].[a=b]", L""}, {L"[x=y].[t]", L""}, {L"[dbo].[c]]=d]", L""}, {L"Q", L"select 1"}};
    ASSERT_TRUE(save_profile_file(converter, dir.wfile("eq.vlm")));
    velmora_convertor loaded;
    ASSERT_TRUE(load_profile_file(loaded, dir.wfile("eq.vlm"))) << read_file(dir.file("eq.vlm"));
    EXPECT_EQ(loaded.selected_queries, converter.selected_queries) << read_file(dir.file("eq.vlm"));
}
