// The MS SQL writer through the FreeTDS provider against the writable TDS test server: rows of
// every type written by INSERT statements and by bulk load and read back by the source, batches,
// the fall-back to statements, update and delete, and SQL Server's refusals.
#include "MSS/mss_floa.h"
#include "UDB/udb_services.h"
#include "tests/MSS_source/freetds_support.h"

namespace {

// The error handler as a run has it: every failure handed over is kept.
class keeping_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override { errors.push_back(error.message); }
    std::vector<std::string> errors;
};

std::string narrow(const std::wstring& text) {
    return tk_to_utf8(text);
}

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

// A statement writes times with milliseconds at most: the fixture's value as it arrives.
std::string to_milliseconds(const tds_fixture_column& column, std::string text) {
    const tds_type_kind k = column.type.kind;
    if (k != tds_type_kind::time && k != tds_type_kind::datetime2 &&
        k != tds_type_kind::datetimeoffset) {
        return text;
    }
    const std::size_t point = text.find('.');
    if (point == std::string::npos) {
        return text;
    }
    std::size_t end = point + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    if (end > point + 4) {
        text.erase(point + 4, end - point - 4);
    }
    return text;
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
    // (all when empty); the times as a statement writes them when `milliseconds`.
    void read_back(const tds_fixture_table& source, const std::string& target, bool milliseconds,
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
                tds_value want = expected[c];
                if (milliseconds) {
                    want.data = to_milliseconds(source.columns[c], want.data);
                }
                EXPECT_EQ(compare(source.columns[c], want, *got[c]), "") << "row " << n;
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
    read_back(source, "by_insert", true, {});
}

TEST_F(mss_writer_test, every_type_round_trips_by_bulk_load) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    // The rows without values beyond 8000 bytes, into columns FreeTDS's bulk copy can fill;
    // and without the row of the lowest values, whose date 0001-01-01 the server refuses when
    // FreeTDS sends it in a bulk load.
    const std::vector<std::uint64_t> rows = {0, 1, 3};
    copy(source, "by_bulk", true, true, rows, false);
    EXPECT_EQ(count_statements("INSERT INTO"), 0u);
    EXPECT_EQ(count_statements("insert bulk [dbo].[by_bulk]"), 1u);
    EXPECT_EQ(
        count_statements("SET QUOTED_IDENTIFIER OFF; SET IDENTITY_INSERT [dbo].[by_bulk] ON; "),
        1u);
    read_back(source, "by_bulk", false, rows);
}

TEST_F(mss_writer_test, a_table_the_bulk_copy_cannot_fill_is_written_by_statements) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    copy(source, "fallback", true, false, {}, true);
    EXPECT_EQ(count_statements("insert bulk"), 0u);
    EXPECT_EQ(count_statements("SET IDENTITY_INSERT [dbo].[fallback] ON;INSERT INTO"),
              source.row_count());
    read_back(source, "fallback", true, {});
}

} // namespace
