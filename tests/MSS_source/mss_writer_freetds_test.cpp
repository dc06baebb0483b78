// The MS SQL writer through the FreeTDS provider against the writable TDS test server: rows of
// every type written by INSERT statements and by bulk load and read back by the source, batches,
// the fall-back to statements, update and delete, and SQL Server's refusals.
#include "MSS/mss_floa.h"
#include "UDB/udb_services.h"
#include "tests/MSS_source/freetds_support.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>

namespace {

// The error handler as a run has it: every failure handed over is kept.
class keeping_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override { errors.push_back(error.message); }
    std::vector<std::string> errors;
};

// The type a copy of the column takes. The source reads spatial values as their text, which
// SQL Server does not convert back implicitly: the copy keeps the text; and it keeps a
// rowversion's bytes. For a bulk load (`bulk`), the types FreeTDS's bulk copy cannot carry
// become types it can: its conversion to the server's default code page whatever the collation,
// no CLR, sql_variant or xml values, and no values of long columns.
std::string copy_type(const tds_fixture_column& c, bool bulk) {
    using k = tds_type_kind;
    const tds_type& t = c.type;
    if (t.kind == k::geometry || t.kind == k::geography) {
        return bulk ? "nvarchar(4000)" : "nvarchar(max)";
    }
    if (t.kind == k::rowversion) {
        return "binary(8)";
    }
    if (!bulk) {
        return t.sql_name();
    }
    switch (t.kind) {
    case k::varchar:
        return t.collation.code_page != 1252 ? "nvarchar(" + std::to_string(t.length) + ")"
               : t.length < 0                ? "varchar(8000)"
                                             : t.sql_name();
    case k::text:
        return "varchar(8000)";
    case k::nvarchar:
        return t.length < 0 ? "nvarchar(4000)" : t.sql_name();
    case k::ntext:
    case k::xml:
    case k::sql_variant:
        return "nvarchar(4000)";
    case k::varbinary:
        return t.length < 0 ? "varbinary(8000)" : t.sql_name();
    case k::image:
    case k::hierarchyid:
        return "varbinary(8000)";
    default:
        return t.sql_name();
    }
}

// The fixture table's CREATE TABLE under another name.
std::string create_text(const tds_fixture_table& table, const std::string& name, bool bulk) {
    std::string sql = "CREATE TABLE [dbo].[" + name + "] (";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const tds_fixture_column& c = table.columns[i];
        const std::string type = copy_type(c, bulk);
        sql += (i > 0 ? ", [" : "[") + c.name + "] " + type;
        if (type == c.type.sql_name() && c.type.is_text() && c.type.collation.code_page != 1252) {
            sql += " COLLATE " + c.type.collation.name;
        }
        if (c.identity) {
            sql += " IDENTITY(1,1)";
        }
        if (!c.nullable) {
            sql += " NOT NULL";
        }
    }
    for (const tds_fixture_index& index : table.indexes) {
        if (index.primary_key) {
            sql += ", PRIMARY KEY (";
            for (std::size_t i = 0; i < index.columns.size(); ++i) {
                sql += (i > 0 ? ", [" : "[") + index.columns[i] + "]";
            }
            sql += ")";
        }
    }
    return sql + ")";
}

class mss_writer_test : public mss_freetds_test {
protected:
    void TearDown() override {
        db.reset();
        mss_freetds_test::TearDown();
    }

    void open(const std::string& fixture) {
        start({fixture});
        model = tds_load_fixture(tds_fixture_dir() + "/" + fixture);
        db = engine->open_db(wide(model.name), 1, L"");
    }

    void run(const std::string& sql) {
        odb_command command(db->session.get());
        command.execute(wide(sql));
    }

    // Copies the rows of `source` numbered in `rows` (all when empty) into the new table `target`
    // (made like the source) by the writer, by bulk load when `fast`; `by_statement` tells whether
    // the table is to end up written by statements.
    void copy(const tds_fixture_table& source, const std::string& target, bool fast,
              bool bulk_types, const std::vector<std::uint64_t>& rows, bool by_statement) {
        engine->enable_fast_load(engine->data_source(), fast);
        run(create_text(source, target, bulk_types));
        auto from = db->get_table(wide(source.schema + "." + source.name), 1);
        mss_table to(L"[dbo].[" + wide(target) + L"]", db->session.get(), from->schema, db.get());
        std::uint64_t n = 0;
        std::uint64_t written = 0;
        for (from->reset(); !from->is_eof(); from->next(), ++n) {
            if (rows.empty() || std::find(rows.begin(), rows.end(), n) != rows.end()) {
                to.append_record(*from->get_item());
                ++written;
            }
        }
        EXPECT_EQ(to.rec_count, written);
        EXPECT_EQ(to.b_fl_failed, fast && by_statement);
        if (to.fl.is_open()) {
            to.fl.close_table();
        }
        EXPECT_EQ(handler.errors, std::vector<std::string>{});
    }

    // Reads `target` back and compares every value with the source rows numbered in `rows`
    // (all when empty).
    void read_back(const tds_fixture_table& source, const std::string& target,
                   const std::vector<std::uint64_t>& rows) {
        auto fresh = engine->open_db(wide(model.name), 1, L"");
        auto rs = fresh->get_table(wide("dbo." + target), 1);
        ASSERT_EQ(rs->schema.size(), source.columns.size());
        const std::uint64_t count = rows.empty() ? source.row_count() : rows.size();
        EXPECT_EQ(rs->rec_count, count);
        std::vector<tds_value> expected;
        std::uint64_t n = 0;
        for (rs->reset(); !rs->is_eof(); rs->next(), ++n) {
            source.row(rows.empty() ? n : rows[n], expected);
            const udb_record& got = *rs->get_item();
            for (std::size_t c = 0; c < got.size(); ++c) {
                EXPECT_EQ(compare(source.columns[c], expected[c], *got[c]), "") << "row " << n;
            }
        }
        EXPECT_EQ(n, count);
    }

    std::size_t count_statements(const std::string& prefix) const {
        std::size_t n = 0;
        for (const std::string& s : server->statements()) {
            n += s.rfind(prefix, 0) == 0;
        }
        return n;
    }

    tds_fixture_database model;
    std::unique_ptr<mss_database> db;
    keeping_handler handler;
};

TEST_F(mss_writer_test, every_type_round_trips_by_insert_statements) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    copy(source, "by_insert", false, false, {}, true);
    EXPECT_EQ(count_statements("SET IDENTITY_INSERT [dbo].[by_insert] ON;INSERT INTO [dbo]."
                               "[by_insert]([id], [c_bit], "),
              source.row_count());
    read_back(source, "by_insert", {});
}

TEST_F(mss_writer_test, every_type_round_trips_by_bulk_load) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    // The rows without values beyond 8000 bytes, into columns FreeTDS's bulk copy can fill;
    // and without the row of the lowest values, whose dates before 1600-03-01 FreeTDS's bulk
    // copy cannot send (see below).
    const std::vector<std::uint64_t> rows = {0, 1, 3};
    copy(source, "by_bulk", true, true, rows, false);
    // The first row's character columns hold text beyond ASCII ('Привет' in a Cyrillic column),
    // which FreeTDS's bulk copy would convert into the database's code page: that row goes by
    // statement, and the bulk copy starts a second batch after it.
    EXPECT_EQ(count_statements("SET IDENTITY_INSERT [dbo].[by_bulk] ON;INSERT INTO"), 1u);
    EXPECT_EQ(count_statements("insert bulk [dbo].[by_bulk]"), 2u);
    // The bulk copy keeps the identity values itself; no session setting is changed.
    EXPECT_EQ(count_statements("SET QUOTED_IDENTIFIER"), 0u);
    read_back(source, "by_bulk", rows);
    // A filtered index after the bulk load: SQL Server refuses one (1934) on a connection the
    // load had left with QUOTED_IDENTIFIER OFF.
    auto written = db->get_table(L"[dbo].[by_bulk]", 1);
    udb_index index(L"ix_after_bulk", true, false);
    index.columns = {L"c_int"};
    ASSERT_TRUE(mss_may_be_null(written->schema, L"c_int"));
    written.reset();
    db->create_index(L"[dbo].[by_bulk]", db->get_table(L"[dbo].[by_bulk]", 1)->schema, index);
    EXPECT_EQ(count_statements("CREATE UNIQUE INDEX [ix_after_bulk]"), 1u);
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
}

// Zero-length values beside NULL in NOT NULL and nullable columns, and a table with long
// columns: written by statements whether or not bulk load is on, since FreeTDS's bulk copy cannot
// fill long columns. (The values over 1 MiB of all_types go by statement above; the tens of MiB
// of msssrc_long's first row make a statement beyond the test server's 64 MiB message limit.)
TEST_F(mss_writer_test, long_and_empty_values_round_trip) {
    for (const char* fixture : {"empty_binary.tds", "msssrc_long.tds"}) {
        SCOPED_TRACE(fixture);
        db.reset();
        if (server) {
            server->stop();
        }
        engine.reset();
        paths.clear();
        open(fixture);
        const tds_fixture_table& source = model.tables.front();
        const std::vector<std::uint64_t> rows = std::string(fixture) == "msssrc_long.tds"
                                                    ? std::vector<std::uint64_t>{1}
                                                    : std::vector<std::uint64_t>{};
        copy(source, "by_insert", false, false, rows, true);
        read_back(source, "by_insert", rows);
        copy(source, "by_bulk", true, false, rows, true);
        read_back(source, "by_bulk", rows);
    }
}

TEST_F(mss_writer_test, a_table_the_bulk_copy_cannot_fill_is_written_by_statements) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    copy(source, "fallback", true, false, {}, true);
    EXPECT_EQ(count_statements("insert bulk"), 0u);
    EXPECT_EQ(count_statements("SET IDENTITY_INSERT [dbo].[fallback] ON;INSERT INTO"),
              source.row_count());
    read_back(source, "fallback", {});
}

} // namespace

namespace {

// A table of its own for the tests below: an identity key, a unique code and a short text.
class mss_writer_rows_test : public mss_writer_test {
protected:
    void SetUp() override {
        mss_writer_test::SetUp();
        open("all_types.tds");
        run("CREATE TABLE [dbo].[people] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
            "[code] varchar(4) NOT NULL UNIQUE, [name] nvarchar(5) NULL, [photo] varbinary(3) "
            "NULL)");
        columns.push_back(
            std::make_shared<t_ftd>(4, L"id", VT_I4, true, true, ole_variant(), 0, L"int"));
        columns.push_back(std::make_shared<t_ftd>(4, L"code", VT_BSTR, true, false, ole_variant(),
                                                  0, L"varchar"));
        columns.push_back(std::make_shared<t_ftd>(5, L"name", VT_BSTR, false, false, ole_variant(),
                                                  0, L"nvarchar"));
        columns.push_back(std::make_shared<t_ftd>(3, L"photo", ole_variant::vt_byte_array, false,
                                                  false, ole_variant(), 0, L"varbinary"));
    }

    std::unique_ptr<mss_table> table(bool fast, const std::wstring& name = L"[dbo].[people]") {
        engine->enable_fast_load(engine->data_source(), fast);
        auto t = std::make_unique<mss_table>(name, db->session.get(), columns, db.get());
        udb_index key(L"pk", true, true);
        key.columns = {L"id"};
        t->add_index(key);
        return t;
    }

    static std::unique_ptr<udb_record> row(int id, const std::wstring& code,
                                           const std::wstring* name,
                                           const std::vector<uint8_t>* photo) {
        auto r = std::make_unique<udb_record>();
        r->push_back(std::make_unique<udb_field>(
            L"id", 4, ole_variant::from_wstring(std::to_wstring(id), VT_I4), false, false));
        r->push_back(std::make_unique<udb_field>(L"code", 4, ole_variant(code), false, false));
        r->push_back(std::make_unique<udb_field>(
            L"name", 5, name ? ole_variant(*name) : ole_variant(), false, false));
        ole_variant bytes;
        if (photo) {
            bytes = ole_variant(static_cast<unsigned>(photo->size()), photo->data());
        }
        r->push_back(std::make_unique<udb_field>(L"photo", 3, bytes, false, false));
        return r;
    }

    // The rows of the table as "id|code|name|photo" (NULL for a null, photo in hex).
    std::vector<std::string> rows() {
        auto fresh = engine->open_db(wide(model.name), 1, L"");
        auto rs = fresh->get_table(L"dbo.people", 1);
        std::vector<std::string> out;
        for (rs->reset(); !rs->is_eof(); rs->next()) {
            std::string line;
            for (const auto& f : *rs->get_item()) {
                line += (line.empty() ? "" : "|") +
                        (f->get_type() == VT_EMPTY || f->get_type() == VT_NULL ? "NULL"
                                                                               : f->to_string());
            }
            out.push_back(line);
        }
        return out;
    }

    // The server's number and text of the failure `f` raises as odb_exception.
    template <class F> std::pair<int, std::string> refusal(F f) {
        try {
            f();
        } catch (const odb_exception& e) {
            return {e.native_error, e.message};
        }
        return {0, "no failure"};
    }

    // A short code of its own for each record number (base 36), as people's unique code.
    static std::wstring code_of(int i) {
        std::wstring code;
        for (int n = i; n > 0; n /= 36) {
            code += L"0123456789abcdefghijklmnopqrstuvwxyz"[n % 36];
        }
        return code;
    }

    // Writes `count` people by bulk load, record i with the code of record `code_source(i)`
    // (a repeated code is a duplicate key); the failures the writer threw, in order.
    template <class F> std::vector<std::string> write_people(int count, F code_source) {
        columns[2]->size = 5;
        std::vector<std::string> failures;
        auto t = table(true);
        const std::wstring name = L"abcde";
        const std::vector<uint8_t> photo = {1, 2, 3};
        for (int i = 1; i <= count; ++i) {
            try {
                t->append_record(*row(i, code_of(code_source(i)), &name, &photo));
            } catch (const odb_exception& e) {
                failures.push_back(e.message);
            }
        }
        return failures;
    }

    // The rows of people written by write_people, less the records in `lost`.
    template <class Lost> static std::vector<std::string> people_but(int count, Lost lost) {
        std::vector<std::string> expected;
        for (int i = 1; i <= count; ++i) {
            if (!lost(i)) {
                expected.push_back(std::to_string(i) + "|" + tk_to_utf8(code_of(i)) +
                                   "|abcde|0x010203");
            }
        }
        return expected;
    }

    udb_schema columns;
};

TEST_F(mss_writer_rows_test, rows_by_statement_and_by_bulk_load_keep_identities_and_empties) {
    const std::wstring ann = L"Ann", o_brien = L"O'Br";
    const std::vector<uint8_t> none, two = {0x00, 0xFF};
    {
        auto t = table(false);
        t->append_record(*row(7, L"a'1", &o_brien, &two));
        t->append_record(*row(9, L"", nullptr, &none));
    }
    {
        auto t = table(true);
        t->append_record(*row(12, L"b", &ann, &none));
        t->append_record(*row(15, L"c", nullptr, nullptr));
        EXPECT_FALSE(t->b_fl_failed);
    }
    // Identity values kept; an empty byte value stays zero-length (not NULL) on both paths.
    EXPECT_EQ(rows(), (std::vector<std::string>{"7|a'1|O'Br|0x00FF", "9||NULL|", "12|b|Ann|",
                                                "15|c|NULL|NULL"}));
    EXPECT_EQ(count_statements("insert bulk [dbo].[people]"), 1u);
}

TEST_F(mss_writer_rows_test, refusals_reach_the_caller_with_the_servers_number_and_text) {
    const std::wstring long_name = L"Annabel";
    auto t = table(false);
    t->append_record(*row(1, L"a", nullptr, nullptr));
    auto duplicate = refusal([&] { t->append_record(*row(1, L"b", nullptr, nullptr)); });
    EXPECT_EQ(duplicate.first, 2627) << duplicate.second;
    EXPECT_NE(duplicate.second.find("PRIMARY KEY"), std::string::npos) << duplicate.second;
    auto unique = refusal([&] { t->append_record(*row(2, L"a", nullptr, nullptr)); });
    EXPECT_EQ(unique.first, 2627) << unique.second;
    auto too_long = refusal([&] { t->append_record(*row(3, L"c", &long_name, nullptr)); });
    EXPECT_TRUE(too_long.first == 8152 || too_long.first == 2628) << too_long.second;
    EXPECT_EQ(t->rec_count, 1u);

    t.reset(); // its identity insertion ends with it

    // A table whose identity the writer does not know: the server refuses the value.
    columns[0]->b_auto_num = false;
    auto unaware = table(false);
    EXPECT_EQ(refusal([&] { unaware->append_record(*row(4, L"d", nullptr, nullptr)); }).first, 544);
    unaware.reset();
    columns[0]->b_auto_num = true;

    EXPECT_EQ(refusal([&] { table(false, L"[dbo].[nobody]"); }).first, 208);
    columns.push_back(
        std::make_shared<t_ftd>(4, L"age", VT_I4, false, false, ole_variant(), 0, L"int"));
    auto extra = table(false);
    auto r = row(6, L"f", nullptr, nullptr);
    r->push_back(std::make_unique<udb_field>(L"age", 4, ole_variant::from_wstring(L"3", VT_I4),
                                             false, false));
    EXPECT_EQ(refusal([&] { extra->append_record(*r); }).first, 207);
    EXPECT_EQ(rows(), std::vector<std::string>{"1|a|NULL|NULL"});
}

TEST_F(mss_writer_rows_test, bulk_load_refusals_are_reported_never_cut_or_lost_silently) {
    const std::wstring long_name = L"Annabel";
    const std::vector<uint8_t> four = {1, 2, 3, 4};
    {
        auto t = table(true);
        // Too long for the column: refused before FreeTDS could cut it.
        auto text = refusal([&] { t->append_record(*row(1, L"a", &long_name, nullptr)); });
        EXPECT_NE(text.second.find("truncated"), std::string::npos) << text.second;
        auto bytes = refusal([&] { t->append_record(*row(1, L"a", nullptr, &four)); });
        EXPECT_NE(bytes.second.find("truncated"), std::string::npos) << bytes.second;
        t->append_record(*row(1, L"a", nullptr, nullptr));
        // A duplicate key fails the batch on the server: the close reports it, with the table.
        t->append_record(*row(1, L"b", nullptr, nullptr));
        EXPECT_EQ(t->rec_count, 2u);
    }
    ASSERT_EQ(handler.errors.size(), 1u);
    EXPECT_NE(handler.errors[0].find("[dbo].[people]"), std::string::npos) << handler.errors[0];
    EXPECT_NE(handler.errors[0].find("PRIMARY KEY"), std::string::npos) << handler.errors[0];
    // The lost records by the caller's count, the refused ones before them included.
    EXPECT_NE(handler.errors[0].find("(records 3 to 4 are not in the table)"), std::string::npos)
        << handler.errors[0];
    EXPECT_EQ(rows(), std::vector<std::string>{});
    handler.errors.clear();

    // A table that FreeTDS's bulk copy cannot fill (a long column) goes to statements for
    // good, each row once.
    run("CREATE TABLE [dbo].[albums] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
        "[code] varchar(4) NOT NULL, [name] nvarchar(5) NULL, [photo] varbinary(max) NULL)");
    {
        auto albums = table(true, L"[dbo].[albums]");
        albums->append_record(*row(5, L"e", nullptr, &four));
        albums->append_record(*row(6, L"f", nullptr, nullptr));
        EXPECT_TRUE(albums->b_fl_failed);
        EXPECT_EQ(albums->rec_count, 2u);
    }
    EXPECT_EQ(count_statements("SET IDENTITY_INSERT [dbo].[albums] ON;INSERT INTO"), 2u);
    EXPECT_EQ(count_statements("insert bulk [dbo].[albums]"), 0u);

    // Every row refused before one reached the bulk copy: the close has nothing to commit and
    // reports nothing.
    {
        auto t = table(true);
        refusal([&] { t->append_record(*row(8, L"h", &long_name, nullptr)); });
        EXPECT_EQ(t->rec_count, 0u);
    }
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
}

// The server refuses to switch IDENTITY_INSERT off after the INSERT stored its row: the row is
// not reported as failed, and the next table with an identity column is not refused (8107).
TEST_F(mss_writer_rows_test, a_refused_identity_insert_off_fails_neither_row_nor_next_table) {
    run("CREATE TABLE [dbo].[albums] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
        "[code] varchar(4) NOT NULL, [name] nvarchar(5) NULL, [photo] varbinary(3) NULL)");
    {
        auto t = table(false);
        server->fail_statement("SET IDENTITY_INSERT [dbo].[people] OFF",
                               {8104, 16, 1, "The current user is not the database owner."});
        EXPECT_NO_THROW(t->append_record(*row(3, L"c", nullptr, nullptr)));
        server->clear_faults();
    }
    {
        auto albums = table(false, L"[dbo].[albums]");
        EXPECT_NO_THROW(albums->append_record(*row(4, L"d", nullptr, nullptr)));
    }
    EXPECT_EQ(rows(), std::vector<std::string>{"3|c|NULL|NULL"});
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    EXPECT_EQ(fresh->get_table(L"dbo.albums", 1)->rec_count, 1u);
}

// The bulk copy's probe of a table that does not exist fails before its SET FMTONLY OFF: the
// connection it ran on must not serve later statements, which would then do nothing.
TEST_F(mss_writer_rows_test, a_failed_bulk_copy_probe_leaves_no_connection_in_format_only) {
    run("CREATE TABLE [dbo].[gone] ([id] int NOT NULL, [code] varchar(4) NOT NULL, [name] "
        "nvarchar(5) NULL, [photo] varbinary(3) NULL)");
    {
        auto gone = table(true, L"[dbo].[gone]");
        run("DROP TABLE [dbo].[gone]");
        EXPECT_THROW(gone->append_record(*row(1, L"a", nullptr, nullptr)), odb_exception);
        EXPECT_TRUE(gone->b_fl_failed);
    }
    {
        auto t = table(false);
        t->append_record(*row(2, L"b", nullptr, nullptr));
    }
    EXPECT_EQ(rows(), std::vector<std::string>{"2|b|NULL|NULL"});
}

TEST_F(mss_writer_rows_test, bulk_load_commits_every_hundred_thousand_bound_bytes) {
    columns[2]->size = 5;
    {
        auto t = table(true);
        // Each row binds 4 + 2 + 10 + 3 bytes and lengths: about 5,000 rows to a batch.
        const std::wstring name = L"abcde";
        const std::vector<uint8_t> photo = {1, 2, 3};
        for (int i = 1; i <= 12000; ++i) {
            std::wstring code;
            for (int n = i; n > 0; n /= 36) {
                code += L"0123456789abcdefghijklmnopqrstuvwxyz"[n % 36];
            }
            t->append_record(*row(i, code, &name, &photo));
        }
    }
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    // Two batches committed on the way and the last one at the close.
    EXPECT_EQ(count_statements("insert bulk [dbo].[people]"), 3u);
    EXPECT_EQ(rows().size(), 12000u);
}

// A batch the server refuses at an intermediate commit (a duplicate key in the middle batch)
// loses that batch alone: the rows after it arrive by a new copy, and the failure names exactly
// the records that are not in the table.
TEST_F(mss_writer_rows_test, a_failed_middle_batch_loses_only_its_own_rows) {
    // Record 7000 repeats the code of record 1, committed in the first batch.
    const std::vector<std::string> failures =
        write_people(12000, [](int i) { return i == 7000 ? 1 : i; });
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    ASSERT_EQ(failures.size(), 1u);
    const std::size_t at = failures[0].find("(records ");
    ASSERT_NE(at, std::string::npos) << failures[0];
    int first = 0;
    int last = 0;
    ASSERT_EQ(std::sscanf(failures[0].c_str() + at, "(records %d to %d are not in the table)",
                          &first, &last),
              2)
        << failures[0];
    EXPECT_LE(first, 7000);
    EXPECT_GE(last, 7000);
    EXPECT_LT(last, 12000);
    EXPECT_EQ(rows(), people_but(12000, [&](int i) { return i >= first && i <= last; }));
}

// A record that goes by statement commits the copy's rows first; when that commit fails, the
// record itself still goes, the failure says which records are lost and that this one is not,
// and the rows after it arrive by a new copy. Nothing is said at the close: nothing more is lost.
TEST_F(mss_writer_rows_test, a_failed_commit_before_a_statement_row_keeps_the_rest) {
    run("CREATE TABLE [dbo].[notes] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
        "[code] varchar(4) NOT NULL UNIQUE, [name] nvarchar(4000) NULL, [photo] varbinary(3) "
        "NULL)");
    columns[2]->size = 4000;
    const std::wstring shorter = L"s";
    const std::wstring longer(3000, L'l'); // beyond what the bulk copy takes: by statement
    std::vector<std::string> failures;
    {
        auto t = table(true, L"[dbo].[notes]");
        const auto add = [&](int id, const wchar_t* code, const std::wstring& name) {
            try {
                t->append_record(*row(id, code, &name, nullptr));
            } catch (const odb_exception& e) {
                failures.push_back(e.message);
            }
        };
        add(1, L"a", shorter);
        add(2, L"a", shorter); // the batch's duplicate key
        add(3, L"c", longer);
        add(4, L"d", shorter);
        add(5, L"e", shorter);
        EXPECT_FALSE(t->b_fl_failed);
    }
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("(records 1 to 2 are not in the table)"), std::string::npos)
        << failures[0];
    EXPECT_NE(failures[0].find("Record 3 is in the table."), std::string::npos) << failures[0];
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    auto rs = fresh->get_table(L"dbo.notes", 1);
    std::vector<std::string> ids;
    for (rs->reset(); !rs->is_eof(); rs->next()) {
        ids.push_back((*rs->get_item())[0]->to_string());
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"3", "4", "5"}));
}

TEST_F(mss_writer_rows_test, update_and_delete_by_record_and_by_key_text) {
    const std::wstring ann = L"Ann", bob = L"Bob", cy = L"Cy";
    {
        auto t = table(false);
        t->append_record(*row(1, L"a", &ann, nullptr));
        t->append_record(*row(2, L"b", &bob, nullptr));
        t->append_record(*row(3, L"c", &cy, nullptr));
        // By record: the key field finds the row, the others are set.
        t->update1(*row(1, L"a2", &bob, nullptr));
        // By key text.
        t->update2(*row(2, L"b2", &cy, nullptr), L"<id>2</id>");
        t->delete_key(L"<id>3</id>");
    }
    EXPECT_EQ(rows(), (std::vector<std::string>{"1|a2|Bob|NULL", "2|b2|Cy|NULL"}));
    {
        auto t = table(false);
        auto key = std::make_unique<udb_record>();
        key->push_back(std::make_unique<udb_field>(L"id", 4, ole_variant::from_wstring(L"1", VT_I4),
                                                   false, false));
        t->delete_key(*key);
        // A failing update is logged, not thrown, and changes nothing.
        const std::wstring too_long = L"Annabel";
        t->update1(*row(2, L"b3", &too_long, nullptr));
    }
    EXPECT_EQ(rows(), std::vector<std::string>{"2|b2|Cy|NULL"});
}

} // namespace

namespace {

// Names with brackets, quotes, blanks and non-ASCII letters reach the server as one name on
// both paths, and a text full of quotes stays one literal.
TEST_F(mss_writer_rows_test, odd_names_and_quotes_stay_inside_their_names_and_literals) {
    run("CREATE TABLE [dbo].[we]]ird 'näme'] ([id] int IDENTITY(1,1) NOT NULL PRIMARY KEY, "
        "[code] varchar(4) NOT NULL, [name] nvarchar(5) NULL, [photo] varbinary(3) NULL)");
    const std::wstring quotes = L"'');-";
    const std::wstring brackets = L"]'[";
    for (const bool fast : {false, true}) {
        auto t = table(fast, L"[dbo].[we]]ird 'näme']");
        t->append_record(
            *row(fast ? 2 : 1, fast ? L"b" : L"a", fast ? &brackets : &quotes, nullptr));
        EXPECT_FALSE(t->b_fl_failed);
    }
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    auto rs = fresh->get_table(L"[dbo].[we]]ird 'näme']", 1);
    std::vector<std::wstring> names;
    for (rs->reset(); !rs->is_eof(); rs->next()) {
        names.push_back((*rs->get_item())[2]->to_wstring());
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{quotes, brackets}));
}

} // namespace

namespace {

// The server going away in the middle of a bulk load is reported, never taken for success.
TEST_F(mss_writer_rows_test, a_server_gone_during_a_bulk_load_is_reported) {
    bool thrown = false;
    {
        auto t = table(true);
        t->append_record(*row(1, L"a", nullptr, nullptr));
        server->stop();
        try {
            for (int i = 2; i < 50; ++i) {
                t->append_record(*row(i, L"b" + std::to_wstring(i), nullptr, nullptr));
            }
        } catch (const odb_exception&) {
            thrown = true;
        }
    }
    EXPECT_TRUE(thrown || !handler.errors.empty());
    if (!handler.errors.empty()) {
        EXPECT_NE(handler.errors.back().find("[dbo].[people]"), std::string::npos)
            << handler.errors.back();
    }
}

} // namespace

namespace {

// FreeTDS moves dates before 1600-03-01 by a day or two (0001-01-01 so far that the server
// refuses the batch): such a row goes by statement and arrives as it is, beside the bulk load.
TEST_F(mss_writer_test, early_dates_arrive_by_statement_beside_the_bulk_load) {
    open("all_types.tds");
    run("CREATE TABLE [dbo].[days] ([d] date NULL)");
    engine->enable_fast_load(engine->data_source(), true);
    udb_schema schema;
    schema.push_back(
        std::make_shared<t_ftd>(6, L"d", VT_DATE, false, false, ole_variant(), 2, L"date"));
    std::vector<std::string> refused;
    {
        mss_table t(L"[dbo].[days]", db->session.get(), schema, db.get());
        for (const wchar_t* day : {L"1600-02-29", L"0001-01-01", L"1600-03-01", L"2024-02-29"}) {
            udb_record r;
            r.push_back(std::make_unique<udb_field>(
                L"d", 6, ole_variant(ole_date(std::wstring(day))), false, false));
            try {
                t.append_record(r);
            } catch (const odb_exception& e) {
                refused.push_back(e.message);
            }
        }
    }
    EXPECT_EQ(refused, std::vector<std::string>{});
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    EXPECT_EQ(count_statements("INSERT INTO [dbo].[days]"), 2u);
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    auto rs = fresh->get_table(L"dbo.days", 1);
    std::vector<std::string> days;
    for (rs->reset(); !rs->is_eof(); rs->next()) {
        days.push_back((*rs->get_item())[0]->to_string());
    }
    std::sort(days.begin(), days.end());
    EXPECT_EQ(days,
              (std::vector<std::string>{"0001-01-01", "1600-02-29", "1600-03-01", "2024-02-29"}));
}

} // namespace

namespace {

// SQL Server drops a backslash before a line break inside a literal (a line continuation), as
// the test server does: a statement must still carry such a text whole, as the bulk load does.
TEST_F(mss_writer_rows_test, backslashes_before_line_breaks_survive_both_paths) {
    const std::vector<std::wstring> texts = {L"\\\nx", L"a\\\r\nb", L"\\\\\n", L"ab\\"};
    int id = 0;
    for (const bool fast : {false, true}) {
        auto t = table(fast);
        for (const std::wstring& text : texts) {
            ++id;
            t->append_record(*row(id, L"c" + std::to_wstring(id), &text, nullptr));
        }
        EXPECT_FALSE(t->b_fl_failed);
    }
    std::vector<std::string> expected;
    for (int i = 1; i <= id; ++i) {
        expected.push_back(std::to_string(i) + "|c" + std::to_string(i) + "|" +
                           tk_to_utf8(texts[(i - 1) % texts.size()]) + "|NULL");
    }
    EXPECT_EQ(rows(), expected);
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
}

} // namespace

namespace {

// A decimal with more integer digits than its column is refused alone on both paths by the
// server's 8115: the bulk load sends it by statement, before FreeTDS's bulk copy could fail on
// it (which would have ended the bulk load and lost the rows of its batch).
TEST_F(mss_writer_test, a_decimal_too_wide_for_its_column_is_refused_alone) {
    open("all_types.tds");
    run("CREATE TABLE [dbo].[prices] ([p] decimal(5,2) NULL)");
    udb_schema schema;
    schema.push_back(
        std::make_shared<t_ftd>(5, L"p", VT_DECIMAL, false, false, ole_variant(), 0, L"decimal"));
    std::vector<std::string> refused;
    for (const bool fast : {false, true}) {
        engine->enable_fast_load(engine->data_source(), fast);
        mss_table t(L"[dbo].[prices]", db->session.get(), schema, db.get());
        for (const wchar_t* price : {L"999.99", L"1000.00", L"-12345.6", L"-1.5"}) {
            udb_record r;
            r.push_back(std::make_unique<udb_field>(
                L"p", 5, ole_variant::from_wstring(price, VT_DECIMAL), false, false));
            try {
                t.append_record(r);
            } catch (const odb_exception& e) {
                refused.push_back(e.message);
            }
        }
        EXPECT_FALSE(t.b_fl_failed);
    }
    const std::string overflow = "Arithmetic overflow error converting expression to data type "
                                 "decimal.";
    EXPECT_EQ(refused, (std::vector<std::string>{overflow, overflow, overflow, overflow}));
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    auto rs = fresh->get_table(L"dbo.prices", 1);
    std::vector<std::string> prices;
    for (rs->reset(); !rs->is_eof(); rs->next()) {
        prices.push_back((*rs->get_item())[0]->to_string());
    }
    EXPECT_EQ(prices, (std::vector<std::string>{"999.99", "-1.50", "999.99", "-1.50"}));
}

} // namespace

namespace {

// A key text names its row whatever characters its values hold: a text outside the database's
// code page ('?' in a plain literal, which named another row) and a backslash before a line
// break (dropped by the server inside a literal).
TEST_F(mss_writer_rows_test, key_texts_with_any_characters_name_their_own_row) {
    const std::wstring stroke = L"\u0141", question = L"?", broken = L"a\\\nb", z = L"zz";
    {
        auto t = table(false);
        t->append_record(*row(1, L"a", &stroke, nullptr));
        t->append_record(*row(2, L"b", &question, nullptr));
        t->append_record(*row(3, L"c", &broken, nullptr));
        t->update2(*row(0, L"x", &z, nullptr), L"<name>\u0141</name>");
        t->delete_key(L"<name>a\\\nb</name>");
        // A NUL inside a key names its row, as in the values the rows were written with.
        const std::wstring nul(L"n\0l", 3), trailing(L"q\0", 2);
        t->append_record(*row(4, L"d", &nul, nullptr));
        t->append_record(*row(5, L"e", &trailing, nullptr));
        t->update2(*row(0, L"y", &z, nullptr), L"<name>" + nul + L"</name>");
        auto key = std::make_unique<udb_record>();
        key->push_back(
            std::make_unique<udb_field>(L"name", 5, ole_variant(trailing), false, false));
        t->delete_key(*key);
    }
    EXPECT_EQ(rows(), (std::vector<std::string>{"1|x|zz|NULL", "2|b|?|NULL", "4|y|zz|NULL"}));
}

} // namespace

namespace {

// The table's values in order, one text per row ("NULL" for a null; bytes in hex).
std::vector<std::string> column_values(mss_database& db, const std::wstring& table,
                                       std::size_t column) {
    auto rs = db.get_table(table, 1);
    std::vector<std::string> out;
    for (rs->reset(); !rs->is_eof(); rs->next()) {
        const udb_field& f = *(*rs->get_item())[column];
        out.push_back(f.get_type() == VT_EMPTY || f.get_type() == VT_NULL ? "NULL" : f.to_string());
    }
    return out;
}

// FreeTDS's bulk copy converts a text or binary value into a buffer of 4096 bytes whatever the
// column's size and overruns it with a longer value (a heap corruption). Such a row goes by
// statement after the rows before it are committed; the others stay with the bulk load.
TEST_F(mss_writer_test, values_beyond_4096_bytes_arrive_whole_by_statement) {
    open("all_types.tds");
    run("CREATE TABLE [dbo].[wide] ([id] int NOT NULL, [v] varchar(6000) NULL, "
        "[n] nvarchar(4000) NULL, [b] varbinary(8000) NULL)");
    udb_schema schema;
    schema.push_back(
        std::make_shared<t_ftd>(4, L"id", VT_I4, true, false, ole_variant(), 0, L"int"));
    schema.push_back(
        std::make_shared<t_ftd>(6000, L"v", VT_BSTR, false, false, ole_variant(), 0, L"varchar"));
    schema.push_back(
        std::make_shared<t_ftd>(4000, L"n", VT_BSTR, false, false, ole_variant(), 0, L"nvarchar"));
    schema.push_back(std::make_shared<t_ftd>(8000, L"b", ole_variant::vt_byte_array, false, false,
                                             ole_variant(), 0, L"varbinary"));
    // Sizes of v (characters), n (characters of two UTF-8 bytes) and b (bytes); 0 is NULL.
    struct sizes {
        std::size_t v, n, b;
    };
    const std::vector<sizes> rows = {{4096, 2048, 4096}, {4097, 0, 0}, {5000, 0, 0}, {0, 2049, 0},
                                     {0, 2100, 0},       {0, 0, 4097}, {0, 0, 5000}, {3, 3, 3}};
    engine->enable_fast_load(engine->data_source(), true);
    {
        mss_table t(L"[dbo].[wide]", db->session.get(), schema, db.get());
        int id = 0;
        for (const sizes& s : rows) {
            udb_record r;
            r.push_back(std::make_unique<udb_field>(
                L"id", 4, ole_variant::from_wstring(std::to_wstring(++id), VT_I4), false, false));
            r.push_back(std::make_unique<udb_field>(
                L"v", 6000, s.v ? ole_variant(std::wstring(s.v, L'x')) : ole_variant(), false,
                false));
            r.push_back(std::make_unique<udb_field>(
                L"n", 4000, s.n ? ole_variant(std::wstring(s.n, L'\u0416')) : ole_variant(), false,
                false));
            r.push_back(std::make_unique<udb_field>(
                L"b", 8000, s.b ? ole_variant(std::vector<uint8_t>(s.b, 0xAB)) : ole_variant(),
                false, false));
            t.append_record(r);
        }
        EXPECT_FALSE(t.b_fl_failed);
        EXPECT_EQ(t.rec_count, rows.size());
    }
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    EXPECT_EQ(count_statements("INSERT INTO [dbo].[wide]"), 6u);
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    const std::vector<std::string> ids = column_values(*fresh, L"dbo.wide", 0);
    const std::vector<std::string> v = column_values(*fresh, L"dbo.wide", 1);
    const std::vector<std::string> n = column_values(*fresh, L"dbo.wide", 2);
    const std::vector<std::string> b = column_values(*fresh, L"dbo.wide", 3);
    ASSERT_EQ(ids.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t row = std::stoul(ids[i]) - 1;
        SCOPED_TRACE("row " + ids[i]);
        const sizes& s = rows[row];
        std::string hex = "0x";
        for (std::size_t k = 0; k < s.b; ++k) {
            hex += "AB";
        }
        EXPECT_EQ(v[i], s.v ? std::string(s.v, 'x') : "NULL");
        EXPECT_EQ(n[i], s.n ? tk_to_utf8(std::wstring(s.n, L'\u0416')) : "NULL");
        EXPECT_EQ(b[i], s.b ? hex : "NULL");
    }
}

// One value per case at record 4 of six, written by statements into one table and by bulk load
// into another: both paths store the same rows and refuse the same record with the server's own
// error; the bulk load never loses the rows around it nor reports a refused row as written.
TEST_F(mss_writer_test, both_paths_store_or_refuse_each_value_alike) {
    open("all_types.tds");
    struct value_case {
        const char* type; // the column's type and nullability
        VARTYPE vt;       // the field's type and its good and bad values
        const wchar_t* good;
        const wchar_t* bad;         // null: NULL
        double bad_double = 0;      // for VT_R8 cases with bad == nullptr and vt == VT_R8
        std::size_t bad_length = 0; // for a bad text holding a NUL
        std::string stored = {};    // what record 4 holds when it is stored; empty: not checked
    };
    const std::string nul_text("a\0b", 3);
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<value_case> cases = {
        {"datetime2 NOT NULL", VT_DATE, L"2024-01-02 03:04:05", nullptr},
        {"real NULL", VT_R8, L"1.5", nullptr, std::numeric_limits<double>::quiet_NaN()},
        {"real NULL", VT_R8, L"1.5", nullptr, inf},
        {"real NULL", VT_R8, L"1.5", nullptr, 1e39},
        {"float NULL", VT_R8, L"1.5", nullptr, 1e-310},
        {"datetime NULL", VT_DATE, L"2024-01-02 03:04:05", L"1700-01-01"},
        {"bigint NULL", VT_UI8, L"7", L"18446744073709551615"},
        {"smallint NULL", VT_I8, L"7", L"4294967297"},
        {"tinyint NULL", VT_I8, L"7", L"4294967303"},
        {"decimal(5,2) NULL", VT_DECIMAL, L"1.25", L"999.995"},
        {"decimal(5,2) NULL", VT_DECIMAL, L"1.25", L"0.005"},
        {"decimal(5,2) NOT NULL", VT_DECIMAL, L"1.25", nullptr},
        {"date NULL", VT_DATE, L"2024-01-02", L"0001-01-01"},
        {"varchar(10) NULL", VT_BSTR, L"ab", L"a\0b", 0, 3, nul_text},
        {"nvarchar(10) NULL", VT_BSTR, L"ab", L"a\0b", 0, 3, nul_text},
        {"nvarchar(10) NULL", VT_BSTR, L"ab", L"\0", 0, 1, std::string(1, '\0')},
        {"varchar(10) NULL", VT_BSTR, L"ab", L"it''s\0", 0, 6, std::string("it''s\0", 6)},
        // SQL Server converts text into a varchar column through the column's code page.
        {"varchar(10) COLLATE Cyrillic_General_CI_AS NULL", VT_BSTR, L"ab", L"\u0416\u0436", 0, 0,
         "\u0416\u0436"},
        {"varchar(10) NULL", VT_BSTR, L"ab", L"\u0416\u00e9", 0, 0, "?\u00e9"},
        // Both paths keep the microseconds the value holds (a seventh digit is rounded).
        {"datetime2(7) NULL", VT_DATE, L"2024-01-02 03:04:05", L"2024-01-02 03:04:05.1234567", 0, 0,
         "2024-01-02 03:04:05.123457"},
        {"time(7) NULL", VT_DATE, L"03:04:05", L"03:04:05.000001", 0, 0,
         "0000-00-00 03:04:05.000001"},
        {"datetime NULL", VT_DATE, L"2024-01-02 03:04:05", L"2024-01-02 03:04:05.123456", 0, 0,
         "2024-01-02 03:04:05.123000"},
    };
    int n = 0;
    for (const value_case& c : cases) {
        ++n;
        SCOPED_TRACE(std::string(c.type) + " case " + std::to_string(n));
        const bool not_null = std::string(c.type).find("NOT NULL") != std::string::npos;
        udb_schema schema;
        schema.push_back(
            std::make_shared<t_ftd>(4, L"id", VT_I4, true, false, ole_variant(), 0, L"int"));
        const DWORD reserved = std::string(c.type).rfind("date ", 0) == 0 ? 2 : 0;
        schema.push_back(std::make_shared<t_ftd>(8, L"c", c.vt == VT_UI8 ? VARTYPE{VT_I8} : c.vt,
                                                 not_null, false, ole_variant(), reserved, L""));
        std::vector<std::vector<std::string>> refused(2);
        std::vector<std::vector<std::string>> stored(2);
        for (const bool fast : {false, true}) {
            const std::string table = "t" + std::to_string(n) + (fast ? "_bulk" : "_rows");
            run("CREATE TABLE [dbo].[" + table + "] ([id] int NOT NULL, [c] " + c.type + ")");
            engine->enable_fast_load(engine->data_source(), fast);
            {
                mss_table t(L"[dbo].[" + wide(table) + L"]", db->session.get(), schema, db.get());
                for (int id = 1; id <= 6; ++id) {
                    udb_record r;
                    r.push_back(std::make_unique<udb_field>(
                        L"id", 4, ole_variant::from_wstring(std::to_wstring(id), VT_I4), false,
                        false));
                    ole_variant v;
                    if (id != 4) {
                        v = c.vt == VT_DATE ? ole_variant(ole_date(std::wstring(c.good)))
                                            : ole_variant::from_wstring(c.good, c.vt);
                    } else if (c.bad_length != 0) {
                        v = ole_variant(std::wstring(c.bad, c.bad_length));
                    } else if (c.bad != nullptr) {
                        v = c.vt == VT_DATE ? ole_variant(ole_date(std::wstring(c.bad)))
                                            : ole_variant::from_wstring(c.bad, c.vt);
                    } else if (c.vt == VT_R8) {
                        v = ole_variant(c.bad_double);
                    }
                    r.push_back(std::make_unique<udb_field>(L"c", 8, v, false, false));
                    try {
                        t.append_record(r);
                    } catch (const odb_exception& e) {
                        // The table's own name aside, the messages are to be the same.
                        std::string why = e.message;
                        for (std::size_t at; (at = why.find(table)) != std::string::npos;) {
                            why.replace(at, table.size(), "T");
                        }
                        refused[fast].push_back(std::to_string(id) + ": " + why);
                    }
                }
                EXPECT_FALSE(t.b_fl_failed);
            }
        }
        // Read back only now: opening another database changes the engine's data source.
        auto fresh = engine->open_db(wide(model.name), 1, L"");
        for (const bool fast : {false, true}) {
            const std::string table = "t" + std::to_string(n) + (fast ? "_bulk" : "_rows");
            const auto ids = column_values(*fresh, L"dbo." + wide(table), 0);
            const auto values = column_values(*fresh, L"dbo." + wide(table), 1);
            for (std::size_t i = 0; i < ids.size(); ++i) {
                stored[fast].push_back(ids[i] + "|" + values[i]);
            }
            std::sort(stored[fast].begin(), stored[fast].end());
        }
        EXPECT_EQ(refused[1], refused[0]);
        EXPECT_EQ(stored[1], stored[0]);
        if (!c.stored.empty()) {
            EXPECT_TRUE(std::binary_search(stored[0].begin(), stored[0].end(), "4|" + c.stored))
                << "record 4 is not stored as " << c.stored << ": "
                << ::testing::PrintToString(stored[0]);
        }
        EXPECT_GE(stored[1].size(), 5u);
        EXPECT_EQ(handler.errors, std::vector<std::string>{});
        handler.errors.clear();
    }
}

} // namespace

namespace {

// A value of a fixed-length column takes the column's whole length on the server: FreeTDS's bulk
// copy pads a short value to it in its 4096-byte buffer. Values at the buffer's edges in every
// bounded text and binary type, short values in fixed-length columns wider than the buffer, and
// bad rows first, last and between good ones: every row arrives whole, or is refused alone.
TEST_F(mss_writer_test, bounded_values_at_the_bulk_buffers_edges_arrive_whole) {
    open("all_types.tds");
    struct column_case {
        const char* type;
        VARTYPE vt;
        std::size_t width;  // characters or bytes of the column
        std::size_t length; // of the value written; 0 for a short one (3)
        bool wide;          // two bytes a character on the server
        bool padded;        // the server holds the column's whole width
    };
    const std::vector<column_case> cases = {
        {"varchar(8000)", VT_BSTR, 8000, 4095, false, false},
        {"varchar(8000)", VT_BSTR, 8000, 4096, false, false},
        {"varchar(8000)", VT_BSTR, 8000, 4097, false, false},
        {"nvarchar(4000)", VT_BSTR, 4000, 2047, true, false},
        {"nvarchar(4000)", VT_BSTR, 4000, 2048, true, false},
        {"nvarchar(4000)", VT_BSTR, 4000, 2049, true, false},
        {"varbinary(8000)", ole_variant::vt_byte_array, 8000, 4095, false, false},
        {"varbinary(8000)", ole_variant::vt_byte_array, 8000, 4096, false, false},
        {"varbinary(8000)", ole_variant::vt_byte_array, 8000, 4097, false, false},
        {"char(4096)", VT_BSTR, 4096, 0, false, true},
        {"char(4097)", VT_BSTR, 4097, 0, false, true},
        {"char(8000)", VT_BSTR, 8000, 4096, false, true},
        {"nchar(2048)", VT_BSTR, 2048, 0, true, true},
        {"nchar(2049)", VT_BSTR, 2049, 0, true, true},
        {"nchar(4000)", VT_BSTR, 4000, 2048, true, true},
        {"binary(4096)", ole_variant::vt_byte_array, 4096, 0, false, true},
        {"binary(4097)", ole_variant::vt_byte_array, 4097, 0, false, true},
        {"binary(8000)", ole_variant::vt_byte_array, 8000, 4096, false, true},
    };
    int n = 0;
    for (const column_case& c : cases) {
        ++n;
        SCOPED_TRACE(std::string(c.type) + " value " + std::to_string(c.length));
        const std::wstring table = L"e" + std::to_wstring(n);
        run("CREATE TABLE [dbo].[" + tk_to_utf8(table) + "] ([id] int NOT NULL, [c] " + c.type +
            " NULL)");
        udb_schema schema;
        schema.push_back(
            std::make_shared<t_ftd>(4, L"id", VT_I4, true, false, ole_variant(), 0, L"int"));
        const std::string type(c.type);
        schema.push_back(std::make_shared<t_ftd>(static_cast<DWORD>(c.width), L"c", c.vt, false,
                                                 false, ole_variant(), 0,
                                                 wide(type.substr(0, type.find('(')))));
        const std::size_t length = c.length != 0 ? c.length : 3;
        const bool bytes = c.vt != VT_BSTR;
        engine->enable_fast_load(engine->data_source(), true);
        {
            mss_table t(L"[dbo].[" + table + L"]", db->session.get(), schema, db.get());
            for (int id = 1; id <= 3; ++id) {
                udb_record r;
                r.push_back(std::make_unique<udb_field>(
                    L"id", 4, ole_variant::from_wstring(std::to_wstring(id), VT_I4), false, false));
                r.push_back(std::make_unique<udb_field>(
                    L"c", static_cast<DWORD>(c.width),
                    bytes ? ole_variant(std::vector<uint8_t>(length, 0xAB))
                          : ole_variant(std::wstring(length, L'x')),
                    false, false));
                t.append_record(r);
            }
        }
        EXPECT_EQ(handler.errors, std::vector<std::string>{});
        handler.errors.clear();
        // Only values beyond the buffer go by statement.
        const bool beyond = (c.wide ? 2 * length : length) > 4096;
        EXPECT_EQ(count_statements("INSERT INTO [dbo].[" + tk_to_utf8(table) + "]"),
                  beyond ? 3u : 0u);
        auto fresh = engine->open_db(wide(model.name), 1, L"");
        const auto ids = column_values(*fresh, L"dbo." + table, 0);
        const auto values = column_values(*fresh, L"dbo." + table, 1);
        EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
        std::string want;
        if (bytes) {
            want = "0x";
            for (std::size_t k = 0; k < c.width && (c.padded || k < length); ++k) {
                want += k < length ? "AB" : "00";
            }
        } else {
            want = std::string(length, 'x') + (c.padded ? std::string(c.width - length, ' ') : "");
        }
        for (const std::string& v : values) {
            EXPECT_EQ(v.size(), want.size());
            EXPECT_TRUE(v == want);
        }
    }
}

} // namespace

namespace {

// The bulk copy names the table's columns in the statement that opens each batch: a column name
// holding "]" must stay one name there too.
TEST_F(mss_writer_test, column_names_stay_names_in_the_bulk_copys_own_statement) {
    open("all_types.tds");
    run("CREATE TABLE [dbo].[victim] ([v] int NULL)");
    run("INSERT INTO [dbo].[victim] ([v]) VALUES (1)");
    const std::wstring hostile = L"c]) ; DROP TABLE [dbo].[victim]; --";
    run("CREATE TABLE [dbo].[t] ([id] int NOT NULL, [c]]) ; DROP TABLE [dbo]].[victim]]; --] "
        "int NULL)");
    udb_schema schema;
    schema.push_back(
        std::make_shared<t_ftd>(4, L"id", VT_I4, true, false, ole_variant(), 0, L"int"));
    schema.push_back(
        std::make_shared<t_ftd>(4, hostile, VT_I4, false, false, ole_variant(), 0, L"int"));
    engine->enable_fast_load(engine->data_source(), true);
    {
        mss_table t(L"[dbo].[t]", db->session.get(), schema, db.get());
        udb_record r;
        r.push_back(std::make_unique<udb_field>(L"id", 4, ole_variant::from_wstring(L"1", VT_I4),
                                                false, false));
        r.push_back(std::make_unique<udb_field>(hostile, 4, ole_variant::from_wstring(L"2", VT_I4),
                                                false, false));
        t.append_record(r);
    }
    EXPECT_EQ(count_statements("insert bulk [dbo].[t]"), 1u);
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
    auto fresh = engine->open_db(wide(model.name), 1, L"");
    EXPECT_EQ(column_values(*fresh, L"dbo.victim", 0), std::vector<std::string>{"1"});
    EXPECT_EQ(column_values(*fresh, L"dbo.t", 1), std::vector<std::string>{"2"});
}

} // namespace

namespace {

// A duplicate key in the first batch and another in the last (the one the close commits): each
// loses its own batch alone, and every record not in the table is named, once.
TEST_F(mss_writer_rows_test, duplicate_keys_in_the_first_and_last_batch_lose_only_those) {
    std::vector<std::string> failures = write_people(12000, [](int i) {
        return i == 100 ? 1 : i == 11999 ? 6000 : i;
    });
    failures.insert(failures.end(), handler.errors.begin(), handler.errors.end());
    std::set<int> lost;
    for (const std::string& f : failures) {
        const std::size_t at = f.find("(records ");
        int first = 0;
        int last = 0;
        ASSERT_NE(at, std::string::npos) << f;
        ASSERT_EQ(std::sscanf(f.c_str() + at, "(records %d to %d", &first, &last), 2) << f;
        for (int i = first; i <= last; ++i) {
            EXPECT_TRUE(lost.insert(i).second) << "record " << i << " named twice";
        }
    }
    EXPECT_EQ(failures.size(), 2u);
    EXPECT_EQ(lost.count(100), 1u);
    EXPECT_EQ(lost.count(11999), 1u);
    EXPECT_EQ(lost.count(6000), 0u);
    EXPECT_EQ(rows(), people_but(12000, [&](int i) { return lost.count(i) != 0; }));
}

} // namespace
