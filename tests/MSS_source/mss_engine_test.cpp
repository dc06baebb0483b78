// The MS SQL engine and table names over the stub provider.
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "MSS/odb_exce.h"
#include "TK/tk_utils.h"
#include "mss_source_support.h"

using namespace mss_test;

namespace {

class mss_engine_test : public source_fixture {};

} // namespace

TEST_F(mss_engine_test, version_texts_give_their_codes) {
    const struct {
        const wchar_t* text;
        int code;
    } cases[] = {
        {L"Microsoft SQL Server 2019 (RTM) - 15.0.2000.5", 15},
        {L"Microsoft SQL Server    2008 R2 (SP2) - 10.50", 5},
        {L"Microsoft SQL Server 2000 - 8.00.2039 (Intel X86)", 3},
        {L"Microsoft SQL Server 2022 (RTM-CU12) - 16.0.4125.3", 18},
        {L"Microsoft SQL Server 2005 - 9.00.5000.00 (Intel X86)", 4},
        {L"Microsoft SQL Server  7.00 - 7.00.623 (Intel X86)", 2},
        {L"Microsoft SQL Server 2012 (SP4) - 11.0.7001.0 (X64)", 8},
        {L"Microsoft SQL Server 2014 (SP3) - 12.0.6024.0 (X64)", 10},
        {L"Microsoft SQL Server 2016 (SP2) - 13.0.5026.0 (X64)", 12},
        {L"Microsoft SQL Server 2017 (RTM) - 14.0.1000.169 (X64)", 13},
        // Releases after the newest listed one are served as the newest.
        {L"Microsoft SQL Server 2025 (RTM) - 17.0.1000.7 (X64)", 18},
        {L"Microsoft SQL Server vNext (CTP) - 99.0.1000.7 (X64)", 1},
        {L"Microsoft SQL Server 2019", 1}, // 30 characters or fewer
        {L"Microsoft SQL Azure (RTM) - 12.0.2000.8", 100},
        {L"Microsoft SQL Azure", 1},
        {L"PostgreSQL 16.1", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.text, c.text + wcslen(c.text)));
        EXPECT_EQ(mss_engine::version_from_text(c.text), c.code);
    }
}

TEST_F(mss_engine_test, connect_reads_version_databases_and_code_page) {
    connect();
    EXPECT_TRUE(engine->is_connected());
    EXPECT_TRUE(engine->is_native());
    EXPECT_TRUE(engine->is_fast_load());
    EXPECT_EQ(engine->version(), 15);
    EXPECT_EQ(engine->get_contents(),
              (std::vector<std::wstring>{L"master", L"Shop", L"O'Brien]s db"}));
    EXPECT_EQ(trace_count("Got MS SQL version: 15"), 1);
    EXPECT_EQ(trace_count("Got code page: [Latin1-General, case-insensitive]"), 1);
    EXPECT_TRUE(engine->is_db_exist(L"shop"));
    EXPECT_FALSE(engine->is_db_exist(L"nowhere"));

    // A second connect uninitialises the first data source.
    const int before = server->uninitializations;
    connect();
    EXPECT_EQ(server->uninitializations, before + 1);
}

TEST_F(mss_engine_test, a_refused_fast_load_leaves_the_flag_off) {
    server->refuse_fast_load = true;
    connect();
    EXPECT_TRUE(engine->is_connected());
    EXPECT_FALSE(engine->is_fast_load());
}

TEST_F(mss_engine_test, azure_has_no_database_list) {
    add_connect_answers(*server, u"Microsoft SQL Azure (RTM) - 12.0.2000.8 Oct 1 2024");
    connect();
    EXPECT_EQ(engine->version(), 100);
    try {
        engine->get_contents();
        FAIL() << "listed";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level, 1);
        EXPECT_EQ(e.message,
                  "Azure SQL does not allow to list databases.\r\nEnter database name directly.");
    }
    // Step 1 is skipped: any database the login may open exists.
    EXPECT_TRUE(engine->is_db_exist(L"anything"));
    for (const auto& sql : server->executed) {
        EXPECT_EQ(sql.find(u"master."), std::u16string::npos);
    }
}

TEST_F(mss_engine_test, old_servers_fall_back_to_the_old_database_list) {
    add_connect_answers(*server, u"Microsoft SQL Server 2000 - 8.00.2039 (Intel X86) Dec 2005");
    server->statements.erase(u"SELECT name from master.sys.sysdatabases ORDER BY name");
    server->statements[u"SELECT name from master.dbo.sysdatabases ORDER BY name"] = {
        {text(u"name")}, {row({u"pubs"})}};
    connect();
    EXPECT_EQ(engine->version(), 3);
    EXPECT_EQ(engine->get_contents(), std::vector<std::wstring>{L"pubs"});
    EXPECT_EQ(trace_count("Try the second approach for MS SQL <= v2000..."), 1);
}

TEST_F(mss_engine_test, a_failing_list_fails_the_connect_of_newer_servers) {
    server->statements.erase(u"SELECT name from master.sys.databases ORDER BY name");
    EXPECT_THROW(connect(), odb_exception);
}

TEST_F(mss_engine_test, a_database_the_login_may_not_open_is_a_permission_error) {
    connect();
    server->databases = {u"master"};
    EXPECT_THROW(engine->is_db_exist(L"Shop"), mss_no_perm_exception);
}

TEST_F(mss_engine_test, operations_need_a_connection) {
    EXPECT_THROW(engine->get_contents(), tk_mail_assertion);
    EXPECT_THROW(engine->is_db_exist(L"x"), tk_mail_assertion);
    EXPECT_THROW(engine->open_db(L"x", 1, L""), tk_mail_assertion);
}

TEST_F(mss_engine_test, table_names_split_join_and_enclose) {
    const struct {
        const wchar_t* name;
        const wchar_t* table;
        const wchar_t* owner;
    } splits[] = {
        {L"dbo.Orders", L"Orders", L"dbo"},
        {L"[dbo].[Orders]", L"Orders", L"dbo"},
        {L"[Order Details]", L"Order Details", L""},
        {L"Orders", L"Orders", L""},
        {L"[dbo.Orders", L"Orders", L"[dbo"},
        {L"[a].[b].[c]", L"b].[c", L"a"},
        {L"a.b.c", L"b.c", L"a"},
        {L".Orders", L"Orders", L""},
        {L"a.", L"a.", L""},
        // Doubled brackets stand for one and never end a part.
        {L"[we]].ird].[x]]y]", L"x]y", L"we].ird"},
        {L"[dbo].[Straße]", L"Straße", L"dbo"},
    };
    for (const auto& s : splits) {
        SCOPED_TRACE(testing::Message() << tk_to_utf8(s.name));
        std::wstring table;
        std::wstring owner;
        EXPECT_TRUE(mss_split_tab_name(s.name, table, owner));
        EXPECT_EQ(table, s.table);
        EXPECT_EQ(owner, s.owner);
    }
    EXPECT_EQ(mss_simplify_tab_name(L"[dbo].[Orders]", L'_'), L"dbo_Orders");
    EXPECT_EQ(mss_simplify_tab_name(L"Orders", L'.'), L"Orders");
    EXPECT_EQ(mss_enclose_name(L"Orders"), L"[Orders]");
    EXPECT_EQ(mss_enclose_name(L"[Orders]"), L"[Orders]");
    EXPECT_EQ(mss_enclose_name(L""), L"[]");
    EXPECT_EQ(mss_enclose_name(L"a]b"), L"[a]]b]");
    EXPECT_EQ(mss_escape_literal(L"O'Brien''s"), L"O''Brien''''s");
}

// The text form of an (owner, table) pair reads back as the same pair, for parts holding points,
// brackets, blanks, quotes and letters outside ASCII; plain forms are read only where they can
// mean one table.
TEST_F(mss_engine_test, table_name_text_form_reads_back_as_its_pair) {
    const struct {
        const wchar_t* owner;
        const wchar_t* table;
        const wchar_t* text;
    } pairs[] = {
        {L"a.b", L"c", L"[a.b].[c]"},
        {L"a", L"b.c", L"[a].[b.c]"},
        {L"dbo", L"[x]", L"[dbo].[[x]]]"},
        {L"dbo", L"x", L"[dbo].[x]"},
        {L"we].[ird", L"x]y", L"[we]].[ird].[x]]y]"},
        {L"sales team", L"O'Brien \"Größe\"", L"[sales team].[O'Brien \"Größe\"]"},
        {L"", L"x.y", L"[x.y]"},
    };
    for (const auto& p : pairs) {
        SCOPED_TRACE(testing::Message() << tk_to_utf8(p.text));
        EXPECT_EQ(mss_format_tab_name(p.owner, p.table), p.text);
        std::wstring owner;
        std::wstring table;
        ASSERT_TRUE(mss_parse_tab_name(p.text, owner, table));
        EXPECT_EQ(owner, p.owner);
        EXPECT_EQ(table, p.table);
    }
    const struct {
        const wchar_t* text;
        const wchar_t* owner; // nullptr: refused
        const wchar_t* table;
    } plain[] = {
        {L"dbo.orders", L"dbo", L"orders"},
        {L"Straße", L"", L"Straße"},
        {L"a.b.c", nullptr, nullptr},
        {L"dbo.[x]", nullptr, nullptr},
        {L"[dbo].[x", nullptr, nullptr},
        {L"[dbo].x", nullptr, nullptr},
        {L"[dbo]x", nullptr, nullptr},
        {L"[a]b]", nullptr, nullptr},
        {L".x", nullptr, nullptr},
        {L"x.", nullptr, nullptr},
        {L"", nullptr, nullptr},
    };
    for (const auto& p : plain) {
        SCOPED_TRACE(testing::Message() << tk_to_utf8(p.text));
        std::wstring owner = L"unchanged";
        std::wstring table = L"unchanged";
        EXPECT_EQ(mss_parse_tab_name(p.text, owner, table), p.owner != nullptr);
        EXPECT_EQ(owner, p.owner != nullptr ? p.owner : L"unchanged");
        EXPECT_EQ(table, p.table != nullptr ? p.table : L"unchanged");
    }
    // Lists write the plain form only where it reads back as the same pair.
    EXPECT_EQ(mss_list_tab_name(L"dbo", L"orders"), L"dbo.orders");
    EXPECT_EQ(mss_list_tab_name(L"", L"Straße"), L"Straße");
    EXPECT_EQ(mss_list_tab_name(L"a.b", L"c"), L"[a.b].[c]");
    EXPECT_EQ(mss_list_tab_name(L"a", L"b.c"), L"[a].[b.c]");
    EXPECT_EQ(mss_list_tab_name(L"dbo", L"[x]"), L"[dbo].[[x]]]");
    EXPECT_EQ(mss_list_tab_name(L"", L"x.y"), L"[x.y]");
    // The canonical form of the source's statements keeps a bracketed table name apart.
    EXPECT_EQ(engine->get_safe_tname(L"[dbo].[[x]]]"), L"[dbo].[[x]]]");
}

TEST_F(mss_engine_test, canonical_names_follow_the_login) {
    EXPECT_EQ(engine->get_safe_tname(L"sales.Orders"), L"[sales].[Orders]");
    EXPECT_EQ(engine->get_safe_tname(L"Orders"), L"[dbo].[Orders]");
    EXPECT_EQ(engine->get_safe_tname(L"[Order Details]"), L"[dbo].[Order Details]");
    EXPECT_EQ(engine->get_safe_tname(L"we].ird.x]y"), L"[we]]].[ird.x]]y]");
    connect(); // as sa
    EXPECT_EQ(engine->get_safe_tname(L"Orders"), L"[dbo].[Orders]");
    server->user = u"mary";
    server->password = u"pw";
    engine->connect(L"stub", L"mary", L"pw", true);
    EXPECT_EQ(engine->get_safe_tname(L"Orders"), L"[mary].[Orders]");
    engine->set_as_dbo(true);
    EXPECT_EQ(engine->get_safe_tname(L"Orders"), L"[dbo].[Orders]");
}

TEST_F(mss_engine_test, a_windows_login_after_a_server_login_keeps_no_trace_of_it) {
    server->user = u"mary";
    server->password = u"pw";
    engine->connect(L"stub", L"mary", L"pw", true);
    EXPECT_FALSE(engine->is_windows_auth());
    engine->connect(L"stub", true);
    EXPECT_TRUE(engine->is_windows_auth());
    EXPECT_EQ(engine->user(), L"");
    EXPECT_EQ(engine->get_safe_tname(L"Orders"), L"[dbo].[Orders]");

    // The existence test opens the database with a login of its own: the Windows one.
    server->properties.clear();
    EXPECT_TRUE(engine->is_db_exist(L"Shop"));
    bool integrated = false;
    for (const auto& p : server->properties) {
        EXPECT_NE(p.id, static_cast<DBPROPID>(DBPROP_AUTH_USERID)) << "the old login came back";
        EXPECT_NE(p.id, static_cast<DBPROPID>(DBPROP_AUTH_PASSWORD));
        integrated = integrated || p.id == DBPROP_AUTH_INTEGRATED;
    }
    EXPECT_TRUE(integrated);

    engine->connect(L"stub", L"mary", L"pw", true);
    EXPECT_FALSE(engine->is_windows_auth());
}

TEST_F(mss_engine_test, passwords_stay_out_of_the_trace) {
    server->password = u"Pw-in-no-trace";
    engine->connect(L"stub", L"sa", L"Pw-in-no-trace", L"Shop", true);
    engine->connect(L"stub", L"sa", L"Pw-in-no-trace", true);
    EXPECT_TRUE(engine->is_db_exist(L"Shop"));
    EXPECT_NE(trace().find("mss_engine::connect"), std::string::npos);
    EXPECT_EQ(trace().find("Pw-in-no-trace"), std::string::npos);
}

TEST_F(mss_engine_test, open_db_hands_out_the_database) {
    connect();
    auto db = engine->open_db(L"Shop", 0xA1, L"");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->name, L"Shop");
    EXPECT_EQ(db->mode, 0xA1);
    EXPECT_EQ(trace_count("Connection to the database was establish successfully"), 1);
    EXPECT_EQ(server->init_property(DBPROP_INIT_CATALOG), u"Shop");
}
