// A profile's type mapping may narrow a column (a text to VARCHAR(2), an integer to TINYINT, a
// text to JSON): the server of a direct run refuses the values that no longer fit, and a script
// run must refuse them too, or say that it cannot judge them, instead of writing a script whose
// replay stops at the first of them. The replaying server is the oracle: every mapping of a
// table of target types over the fixture's columns runs both ways with the same profile.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

using agent_test::mysql_client;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

struct mapping {
    const char* column;
    const char* type;
    int length;
    int precision;
    int scale;
};

// Every source column into the types that narrow it, and into some that read it otherwise.
const mapping mappings[] = {
    {"t", "VARCHAR", 2, 0, 0},    {"t", "varchar", 3, 0, 0},
    {"t", "CHAR", 2, 0, 0},       {"t", "VARCHAR", 255, 0, 0},
    {"t", "TINYTEXT", 0, 0, 0},   {"t", "TEXT", 0, 0, 0},
    {"t", "LONG", 0, 0, 0},       {"t", "NVARCHAR", 2, 0, 0},
    {"t", "NCHAR", 3, 0, 0},      {"t", "NATIONAL VARCHAR", 3, 0, 0},
    {"t", "JSON", 0, 0, 0},       {"t", "VARBINARY", 4, 0, 0},
    {"t", "BINARY", 3, 0, 0},     {"t", "TINYBLOB", 0, 0, 0},
    {"t", "INT", 0, 0, 0},        {"t", "YEAR", 0, 0, 0},
    {"n", "TINYINT", 0, 0, 0},    {"n", "TINYINT UNSIGNED", 0, 0, 0},
    {"n", "SMALLINT", 0, 0, 0},   {"n", "SMALLINT UNSIGNED", 0, 0, 0},
    {"n", "MEDIUMINT", 0, 0, 0},  {"n", "DECIMAL", 0, 4, 2},
    {"n", "VARCHAR", 3, 0, 0},    {"n", "YEAR", 0, 0, 0},
    {"d", "DECIMAL", 0, 4, 2},    {"d", "DECIMAL", 0, 5, 1},
    {"d", "INT", 0, 0, 0},        {"d", "TINYINT", 0, 0, 0},
    {"d", "VARCHAR", 4, 0, 0},    {"dt", "TIME", 0, 0, 0},
    {"dt", "DATETIME", 0, 0, 0},  {"t", "DATE", 0, 0, 0},
    {"dt", "DATE", 0, 0, 0},      {"dt", "YEAR", 0, 0, 0},
    {"dt", "TIMESTAMP", 0, 0, 0}, {"dt", "VARCHAR", 10, 0, 0},
    {"b", "VARBINARY", 2, 0, 0},  {"b", "BINARY", 3, 0, 0},
    {"b", "TINYBLOB", 0, 0, 0},   {"b", "VARCHAR", 3, 0, 0},
    {"b", "BLOB", 0, 0, 0},       {"f", "DECIMAL", 0, 4, 2},
    {"f", "DECIMAL", 0, 10, 2},   {"f", "TINYINT", 0, 0, 0},
    {"f", "NUMERIC", 0, 4, 2},    {"d", "numeric", 0, 5, 1},
};

class PontrelMappedTypes : public agent_test::tds_suite<PontrelMappedTypes> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/mapped_edges.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }
    void TearDown() override {
        for (const char* database : {"mt_direct", "mt_script"}) {
            db.exec(std::string("DROP DATABASE IF EXISTS ") + database);
        }
    }

    std::string profile(const mapping& m, const std::string& charset) {
        const auto& s = db.server;
        return dir.write("mapped.vlm",
                         profile_head(s) +
                             "schema=dbo\n"
                             "[Generic settings]\nsrc=velmora_mapped\ncharacter set=" +
                             charset +
                             "\n[Selected Tables]\ndbo.edges\n[Type Mappings]\ndatabase:\ntables:\n"
                             "  - name: dbo.edges\n    new_name: dbo.edges\n    fields:\n" +
                             agent_test::type_mapping_field(
                                 {m.column, m.type, m.length, m.precision, m.scale, ""}));
    }

    std::vector<row> rows(const std::string& database) {
        return db.query("SELECT * FROM " + database + ".edges ORDER BY id");
    }

    mysql_client db;
};

// A direct run the server refuses rows of ⇒ the script run refuses them too (exit code 255);
// a script run that ends with 0 ⇒ its replay runs through and holds the direct run's rows.
TEST_F(PontrelMappedTypes, ScriptRefusesWhatTheServerRefuses) {
    for (const char* charset : {"utf8", "latin1"}) {
        for (const mapping& m : mappings) {
            SCOPED_TRACE(std::string(charset) + ": " + m.column + " as " + m.type + " (" +
                         std::to_string(m.length) + ", " + std::to_string(m.precision) + ", " +
                         std::to_string(m.scale) + ")");
            const std::string settings = profile(m, charset);
            db.exec("DROP DATABASE IF EXISTS mt_direct");
            const run_result direct =
                run_pontrel({"--profile=" + settings, "--dest=mt_direct"}, dir.path());
            const std::string script = dir.file("mapped.sql");
            std::filesystem::remove(script);
            const run_result dumped =
                run_pontrel({"--profile=" + settings, "--dump", "--dest=" + script}, dir.path());
            if (direct.exit_code != 0) {
                EXPECT_NE(dumped.exit_code, 0) << direct.out << "\n---\n" << dumped.out;
            }
            // A column whose values the script cannot judge is reported, and its replay may
            // stop; every other script (a run that ended early writes none) replays, and holds
            // only rows that the direct run wrote, all of them when it ended with 0.
            if (dumped.out.find("are not judged against the type") != std::string::npos ||
                !std::filesystem::exists(script)) {
                EXPECT_NE(dumped.exit_code, 0);
                continue;
            }
            db.exec("DROP DATABASE IF EXISTS mt_script");
            db.exec("CREATE DATABASE mt_script");
            const std::string replayed =
                test_support::replay_script(db.server, "mt_script", script);
            EXPECT_EQ(replayed, "") << dumped.out;
            if (!replayed.empty()) {
                continue;
            }
            const std::vector<row> taken = rows("mt_direct");
            const std::vector<row> written = rows("mt_script");
            if (dumped.exit_code == 0) {
                EXPECT_EQ(written, taken);
                continue;
            }
            // Every row the script holds is one the direct run's server took, as it took it.
            for (const row& r : written) {
                EXPECT_NE(std::find(taken.begin(), taken.end(), r), taken.end())
                    << "row " << r[0].value_or("NULL") << " is not as the direct run wrote it";
            }
            // Floating-point values are judged by their digits, not refused for their exponent:
            // away from the rounding edges the script keeps what the server keeps.
            if (std::string(m.column) == "f") {
                EXPECT_EQ(written, taken);
            }
        }
    }
}

} // namespace
