// Profile sections and keys: loading, storing, the mends of the profile file.
#include "tests/converter/converter_test_support.h"

#include "UDB/udb_prof.h"
#include "tests/support/unprivileged.h"

#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// "Save Settings..." as root in a shared sticky folder where another user planted links (at
// the file and on the way to it) and a file of their own: nothing is written through a link
// the kernel's protected-symlinks rule would refuse, another user's file neither receives the
// passwords nor is taken away, and a profile of the saver's own is theirs alone.
TEST(Profile, SavingNeverWritesThroughPlantedLinksOrIntoAnotherUsersFile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act against another user";
    }
    driver_env env;
    temp_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const std::string rootonly = dir.file("rootonly");
    ASSERT_EQ(mkdir(rootonly.c_str(), 0700), 0);
    write_file(rootonly + "/victim", "root's own");
    ASSERT_EQ(chmod((rootonly + "/victim").c_str(), 0600), 0);
    const std::string shared = dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_TRUE(test_support::run_unprivileged([&] {
        test_support::unprivileged_checks checks;
        checks.check(symlink((rootonly + "/victim").c_str(), (shared + "/p.vlm").c_str()) == 0,
                     "link p.vlm");
        checks.check(symlink(rootonly.c_str(), (shared + "/d").c_str()) == 0, "link d");
        checks.check(mkdir((shared + "/n").c_str(), 0755) == 0, "folder n");
        checks.check(symlink("../d/victim", (shared + "/n/up").c_str()) == 0, "link n/up");
        const int fd = open((shared + "/empty.vlm").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        checks.check(fd >= 0 && fchmod(fd, 0666) == 0, "file empty.vlm");
        close(fd);
        return checks.text();
    }));

    velmora_convertor converter;
    converter.mssqlp = L"source-secret";
    for (const std::string& path : {shared + "/p.vlm", shared + "/d/victim", shared + "/n/up",
                                    shared + "/n/../d/victim", shared + "/empty.vlm"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(save_profile_file(converter, std::wstring(path.begin(), path.end())));
    }
    struct stat st {};
    ASSERT_EQ(stat((rootonly + "/victim").c_str(), &st), 0);
    EXPECT_EQ(read_file(rootonly + "/victim"), "root's own");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat((shared + "/empty.vlm").c_str(), &st), 0);
    EXPECT_EQ(read_file(shared + "/empty.vlm"), "");
    EXPECT_EQ(st.st_uid, test_support::unprivileged_uid);

    // The saver's own profile: created readable by its owner only, whatever the umask.
    const mode_t umask_was = umask(0);
    const std::string mine = shared + "/mine.vlm";
    EXPECT_TRUE(save_profile_file(converter, std::wstring(mine.begin(), mine.end())));
    umask(umask_was);
    ASSERT_EQ(stat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_NE(read_file(mine).find("source-secret"), std::string::npos);
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

namespace {

// The settings a run takes from a profile that can be empty or off when it is saved.
struct run_settings {
    std::wstring schema;
    std::wstring mss_host;
    std::wstring mss_login;
    std::wstring mss_password;
    std::string mysql_user;
    bool convert_views = false;
    std::vector<udb_view> views;

    void put_into(velmora_convertor& c) const {
        c.mss_schema = schema;
        c.mssqlh = mss_host;
        c.mssqlu = mss_login;
        c.mssqlp = mss_password;
        c.user = mysql_user;
        c.convert_views = convert_views;
        c.selected_views = views;
    }
    static run_settings of(const velmora_convertor& c) {
        return {c.mss_schema, c.mssqlh,        c.mssqlu,        c.mssqlp,
                c.user,       c.convert_views, c.selected_views};
    }
    bool operator==(const run_settings&) const = default;
};

} // namespace

// A saved profile gives the run it was saved from, whatever the session before it left in the
// converter (the registry's schema, server, login, views box): every combination of empty and
// set values, loaded over a converter holding the other ones.
TEST(Profile, AProfileRunDependsOnTheProfileAlone) {
    driver_env env;
    temp_dir dir;
    const udb_view view{L"big", L"select id from customers"};
    const auto settings = [&](unsigned bits) {
        run_settings s;
        s.schema = bits & 1 ? L"sales" : L"";
        s.mss_host = bits & 2 ? L"mss.example" : L"";
        s.mss_login = bits & 2 ? L"login" : L"";
        s.mss_password = bits & 4 ? L"secret" : L"";
        s.mysql_user = bits & 8 ? "shop" : "";
        s.convert_views = (bits & 16) != 0;
        if (bits & 32) {
            s.views = {view};
        }
        return s;
    };
    for (unsigned saved_bits = 0; saved_bits < 64; ++saved_bits) {
        run_settings saved = settings(saved_bits);
        SCOPED_TRACE(saved_bits);
        velmora_convertor writer;
        saved.put_into(writer);
        ASSERT_TRUE(save_profile_file(writer, dir.wfile("run.vlm")));
        // What the run of the saving session converts: its views only with the box ticked.
        if (!saved.convert_views) {
            saved.views.clear();
        }
        for (const unsigned before_bits : {0u, 63u, ~saved_bits & 63u}) {
            SCOPED_TRACE(before_bits);
            velmora_convertor reader;
            settings(before_bits).put_into(reader);
            reader.selected_views.clear(); // a session's views are never a profile's
            ASSERT_TRUE(load_profile_file(reader, dir.wfile("run.vlm")));
            EXPECT_EQ(run_settings::of(reader), saved);
        }
    }
}

// Profiles of older versions keep meaning what their users saw: an empty schema was Full
// Replication, and views they select were converted (the views page showed only then); a key
// the file lacks leaves the setting alone. The console agent converts views on --views only.
TEST(Profile, OlderProfilesLoadAsTheirUsersMeantThem) {
    driver_env env;
    struct row {
        const char* name;
        std::vector<std::pair<std::wstring, std::wstring>> generic;
        std::vector<std::pair<std::wstring, std::wstring>> mssql;
        bool with_view;
        vlm_program program;
        std::wstring schema_after;
        bool views_after;
    };
    const std::vector<row> rows = {
        {"empty schema", {}, {{L"schema", L""}}, false, vlm_program::wizard, L"", false},
        {"no schema key", {}, {}, false, vlm_program::wizard, L"registry", false},
        {"a schema", {}, {{L"schema", L"sales"}}, false, vlm_program::wizard, L"sales", false},
        {"views, no box key", {}, {}, true, vlm_program::wizard, L"registry", true},
        {"views, box off",
         {{L"convert views", L"0"}},
         {},
         true,
         vlm_program::wizard,
         L"registry",
         false},
        {"no views, no box key", {}, {}, false, vlm_program::wizard, L"registry", false},
        {"box on", {{L"convert views", L"1"}}, {}, false, vlm_program::wizard, L"registry", true},
        {"console, box on",
         {{L"convert views", L"1"}},
         {},
         true,
         vlm_program::console,
         L"registry",
         false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        velmora_convertor converter(r.program);
        converter.mss_schema = L"registry";
        converter.convert_views = false;
        udb_profile profile;
        for (const auto& [key, value] : r.generic) {
            profile.set_value(L"Generic settings", key, value);
        }
        for (const auto& [key, value] : r.mssql) {
            profile.set_value(L"MS SQL Server settings", key, value);
        }
        if (r.with_view) {
            profile.set_value(L"Selected Views", L"v", L"select 1 as a");
        }
        ASSERT_TRUE(apply_profile(converter, profile));
        EXPECT_EQ(converter.mss_schema, r.schema_after);
        EXPECT_EQ(converter.convert_views, r.views_after);
    }
}
