// Shared by the tests that run the MS SQL source and writer through the FreeTDS provider
// against the TDS test server: the fixture comparison and the test fixture.
#pragma once

#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_tab.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "OLE/ole_date.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/com/com_api.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/fixture_values.h"
#include "tests/support/freetds_engine_test.h"
#include "tests/support/tds_server/tds_server.h"
#include "tests/support/trace_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char* const password = "Velmora-Pw1";

std::wstring wide(const std::string& utf8) {
    return tk_utf8_to_wstring(utf8);
}

using test_support::bytes_of;
using test_support::plain_decimal;

// Compares one value read through the source with the fixture's value; an empty string when
// they agree, else what differs.
std::string compare(const tds_fixture_column& column, const tds_value& expected,
                    const udb_field& got) {
    const tds_type& t = column.type;
    const std::string shown = got.to_string().substr(0, 80);
    auto fail = [&](const std::string& want) {
        return column.name + ": expected " + want.substr(0, 80) + ", got " + shown + " (vt " +
               std::to_string(got.get_type()) + ")";
    };
    using k = tds_type_kind;
    if (expected.null) {
        return got.get_type() == VT_EMPTY ? "" : fail("NULL");
    }
    switch (t.kind) {
    case k::bit:
        return got.get_type() == VT_BOOL && got.to_bool() == (expected.data == "1")
                   ? ""
                   : fail(expected.data);
    case k::tinyint:
    case k::smallint:
    case k::int_:
    case k::bigint:
        return got.to_string() == expected.data ? "" : fail(expected.data);
    case k::decimal:
    case k::numeric:
    case k::money:
    case k::smallmoney:
        return plain_decimal(got.to_string()) == plain_decimal(expected.data) ? ""
                                                                              : fail(expected.data);
    case k::real:
        return got.to_float() == static_cast<float>(std::stod(expected.data)) ? ""
                                                                              : fail(expected.data);
    case k::float_:
        return got.to_double() == std::stod(expected.data) ? "" : fail(expected.data);
    case k::date:
    case k::time:
    case k::smalldatetime:
    case k::datetime:
    case k::datetime2:
    case k::datetimeoffset: {
        const std::string want = ole_variant(ole_date(wide(expected.data))).to_string();
        return got.get_type() == VT_DATE && got.to_string() == want ? "" : fail(want);
    }
    case k::char_:
    case k::nchar: {
        std::wstring want = wide(expected.data);
        want.resize(std::max<std::size_t>(want.size(), t.length), L' ');
        return got.get_type() == VT_BSTR && got.to_wstring() == want ? "" : fail(expected.data);
    }
    case k::varchar:
    case k::nvarchar:
    case k::text:
    case k::ntext:
    case k::xml:
    case k::sql_variant:
    case k::uniqueidentifier:
        return got.get_type() == VT_BSTR && got.to_wstring() == wide(expected.data)
                   ? ""
                   : fail(expected.data);
    case k::geometry:
    case k::geography:
        return got.get_type() == VT_BSTR && got.to_wstring() == wide(expected.wkt)
                   ? ""
                   : fail(expected.wkt);
    case k::binary: {
        std::string want = expected.data;
        want.resize(std::max<std::size_t>(want.size(), t.length), '\0');
        return bytes_of(got) == want ? "" : fail("bytes of " + std::to_string(want.size()));
    }
    case k::varbinary:
    case k::image:
    case k::hierarchyid:
    case k::rowversion:
        // An empty byte value reads as an empty value.
        return bytes_of(got) == expected.data
                   ? ""
                   : fail("bytes of " + std::to_string(expected.data.size()));
    }
    return fail("a known type");
}

// COM and a trace log at level 2: the per-row lines of level 1 would make a million-row table
// write tens of millions of lines.
class mss_freetds_test : public test_support::freetds_engine_test<2> {
protected:
    std::string trace() const { return log->text(); }
    int trace_count(const std::string& line) const { return log->count(line); }

    void start(const std::vector<std::string>& fixtures) {
        for (const auto& f : fixtures) {
            paths.push_back(tds_fixture_dir() + "/" + f);
        }
        server = std::make_unique<tds_server>(paths);
        server->start();
        address = L"127.0.0.1," + std::to_wstring(server->port());
        engine = std::make_unique<mss_engine>(1);
        engine->connect(address, L"sa", wide(password), true);
    }

    // Reads every table of the fixture through get_table and compares schema basics and every
    // value of every row with the fixture.
    void read_back(const std::string& fixture, std::uint64_t max_rows = UINT64_MAX) {
        const tds_fixture_database model = tds_load_fixture(tds_fixture_dir() + "/" + fixture);
        auto db = engine->open_db(wide(model.name), 1, L"");
        for (const tds_fixture_table& table : model.tables) {
            SCOPED_TRACE(table.schema + "." + table.name);
            auto rs = db->get_table(wide(table.schema + "." + table.name), 1);
            ASSERT_EQ(rs->schema.size(), table.columns.size());
            for (std::size_t c = 0; c < table.columns.size(); ++c) {
                EXPECT_EQ(rs->schema[c]->name, wide(table.columns[c].name));
                EXPECT_EQ(rs->schema[c]->b_not_null, !table.columns[c].nullable)
                    << table.columns[c].name;
                EXPECT_EQ(rs->schema[c]->b_auto_num, table.columns[c].identity)
                    << table.columns[c].name;
            }
            EXPECT_EQ(rs->rec_count, table.row_count());
            std::vector<tds_value> expected;
            std::uint64_t n = 0;
            for (rs->reset(); !rs->is_eof() && n < max_rows; rs->next(), ++n) {
                table.row(n, expected);
                const udb_record& got = *rs->get_item();
                ASSERT_EQ(got.size(), table.columns.size());
                for (std::size_t c = 0; c < got.size(); ++c) {
                    const std::string diff = compare(table.columns[c], expected[c], *got[c]);
                    ASSERT_EQ(diff, "") << "row " << n;
                }
            }
            EXPECT_EQ(n, std::min(max_rows, table.row_count()));
        }
    }

    std::vector<std::string> paths;
    std::wstring address;
};

} // namespace
