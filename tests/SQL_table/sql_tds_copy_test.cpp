// Every fixture table of the TDS test server, read through the MS SQL source, created on the
// MariaDB test server from its source schema and indexes, its rows inserted and read back value
// for value.
#include "table_fixture.h"

#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "OLE/ole_date.h"
#include "platform/com/com_api.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_fixture.h"
#include "tests/support/fixture_values.h"
#include "tests/support/tds_server/tds_server.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

using namespace table_test;

namespace {

using test_support::bytes_of;
using test_support::plain_decimal;

// Geometry text without the blanks that writers differ in: before "(" and after ",".
std::wstring without_blank_before_parenthesis(std::wstring text) {
    for (const wchar_t* blank : {L" (", L", "}) {
        const std::size_t offset = blank[0] == L' ' ? 0 : 1;
        for (std::size_t at; (at = text.find(blank)) != std::wstring::npos;) {
            text.erase(at + offset, 1);
        }
    }
    return text;
}

// Whether the value read back from MySQL is the value the source gave; else what differs.
std::string compare(const t_ftd& column, const udb_field& source, const udb_field& back) {
    const VARTYPE vs = source.get_type();
    const VARTYPE vb = back.get_type();
    const auto shown = [](const udb_field& f) {
        return f.get_type() == VT_EMPTY ? std::string("NULL") : f.to_string().substr(0, 60);
    };
    const std::string diff = tk_to_utf8(column.name) + ": sent " + shown(source) + " (vt " +
                             std::to_string(vs) + "), read " + shown(back) + " (vt " +
                             std::to_string(vb) + ")";
    if (vs == VT_EMPTY || vb == VT_EMPTY) {
        return vs == vb ? "" : diff;
    }
    if (ole_variant::is_byte_array(vs)) {
        const std::string b = ole_variant::is_byte_array(vb) ? bytes_of(back) : back.to_string();
        return bytes_of(source) == b ? "" : diff;
    }
    switch (vs) {
    case VT_BOOL:
        return back.to_long() == (source.to_bool() ? 1 : 0) ? "" : diff;
    case VT_R4: {
        // The server's text results show a FLOAT with 6 significant digits.
        const double s = source.to_float();
        const double b = back.to_float();
        return std::fabs(s - b) <= std::fabs(s) * 1e-5 ? "" : diff;
    }
    case VT_R8:
        return back.to_double() == source.to_double() ? "" : diff;
    case VT_DECIMAL:
    case VT_CY:
        return plain_decimal(back.to_string()) == plain_decimal(source.to_string()) ? "" : diff;
    case VT_DATE: {
        // A time-only value reads back as a time of the same clock reading.
        const std::string s = source.to_string();
        const std::string b = back.to_string();
        return s == b || s.substr(11) == b.substr(11) ? "" : diff;
    }
    case VT_BSTR:
        if (column.dw_reserved == 2 || column.dw_reserved == 8) {
            return without_blank_before_parenthesis(source.to_wstring()) ==
                           without_blank_before_parenthesis(back.to_wstring())
                       ? ""
                       : diff;
        }
        if (column.dw_reserved == 1) {
            return udb_equal_no_case(source.to_wstring(), back.to_wstring()) ? "" : diff;
        }
        return source.to_wstring() == back.to_wstring() ? "" : diff;
    default:
        return source.to_string() == back.to_string() ? "" : diff;
    }
}

class sql_tds_copy : public server_test {
protected:
    void SetUp() override {
        server_test::SetUp();
        CoInitialize(nullptr);
        ASSERT_TRUE(tds_provider_registered);
    }
    void TearDown() override {
        CoUninitialize();
        server_test::TearDown();
    }
};

TEST_F(sql_tds_copy, every_fixture_table_created_filled_and_read_back) {
    recording_handler handler;
    std::vector<std::string> fixtures;
    for (const auto& entry : std::filesystem::directory_iterator(tds_fixture_dir())) {
        if (entry.path().extension() == ".tds") {
            fixtures.push_back(entry.path().string());
        }
    }
    std::sort(fixtures.begin(), fixtures.end());
    ASSERT_FALSE(fixtures.empty());
    auto dest = open_db();
    int tables_copied = 0;
    for (const std::string& path : fixtures) {
        SCOPED_TRACE(path);
        const tds_fixture_database model = tds_load_fixture(path);
        tds_server server({path});
        server.start();
        mss_engine source_engine(1);
        ASSERT_FALSE(model.logins.empty());
        source_engine.connect(L"127.0.0.1," + std::to_wstring(server.port()),
                              tk_utf8_to_wstring(model.logins[0].user),
                              tk_utf8_to_wstring(model.logins[0].password), true);
        source_engine.set_view_owned(false);
        auto source_db = source_engine.open_db(tk_utf8_to_wstring(model.name), 1, L"");
        for (const tds_fixture_table& table : model.tables) {
            const std::wstring source_name = tk_utf8_to_wstring(table.schema + "." + table.name);
            SCOPED_TRACE(table.schema + "." + table.name);
            auto source = source_db->get_table(source_name, 1);
            // Each fixture's tables under names of their own.
            const std::wstring dest_name = tk_utf8_to_wstring(model.name) + L"." + source_name;
            engine_->fast_insert = false;
            std::unique_ptr<udb_recordset> created =
                dest->create_table(dest_name, source->schema, source->indexes);
            ASSERT_TRUE(created);
            // A table of a million rows goes through the multi-row path.
            engine_->fast_insert = table.row_count() > 100000;
            // A row the server refuses is that row's error, as in a run; the others go on.
            std::uint64_t read = 0;
            std::set<std::uint64_t> refused;
            for (source->reset(); !source->is_eof(); source->next(), ++read) {
                try {
                    created->append_record(*source->get_item());
                } catch (const tk_exception& e) {
                    refused.insert(read);
                    ADD_FAILURE() << "row " << read << " refused: " << e.what();
                }
            }
            created.reset(); // sends what is pending
            ASSERT_EQ(read, table.row_count());

            // Both sides in key order, value for value.
            auto source_again = source_db->get_table(source_name, 1);
            auto back = dest->get_table(dest_name, 8);
            EXPECT_EQ(back->rec_count, table.row_count() - refused.size());
            ASSERT_EQ(back->schema.size(), source_again->schema.size());
            std::uint64_t n = 0;
            std::size_t mismatches = 0;
            back->reset();
            for (source_again->reset(); !source_again->is_eof() && !back->is_eof();
                 source_again->next(), back->next(), ++n) {
                if (refused.count(n) != 0) {
                    back->prev(); // the refused row has no counterpart
                    continue;
                }
                const udb_record& s = *source_again->get_item();
                const udb_record& b = *back->get_item();
                ASSERT_EQ(s.size(), b.size());
                for (std::size_t c = 0; c < s.size(); ++c) {
                    const std::string diff = compare(*source_again->schema[c], *s[c], *b[c]);
                    if (!diff.empty() && ++mismatches <= 20) {
                        ADD_FAILURE() << "row " << n << ": " << diff;
                    }
                }
            }
            EXPECT_EQ(n, table.row_count());
            ++tables_copied;
        }
        server.stop();
    }
    EXPECT_GT(tables_copied, 3);
    EXPECT_TRUE(handler.messages.empty()) << ::testing::PrintToString(handler.messages);
}

} // namespace
