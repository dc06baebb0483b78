// A second client checks the TDS test server: tedious (tests/tedious, pinned by its lock file)
// reads every type of all_types.tds and compares it with FreeTDS's reading, and bulk-loads a
// table of every type it can bulk-load, which FreeTDS then reads back.
#include "odbc_client.h"

#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/wait.h>

namespace {

const std::string tedious_dir = TEDIOUS_DIR;

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// Runs the check script; its output, and its exit code in `code`.
std::string node(const std::string& arguments, int& code) {
    const std::string command =
        "cd '" + tedious_dir + "' && timeout 300 node check.js " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        code = -1;
        return "cannot start node";
    }
    std::string out;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        out.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

class TdsTedious : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(tedious_dir + "/node_modules/tedious"))
            << "tedious is not installed: run tools/setup.sh (npm ci in tests/tedious)";
        server_ = std::make_unique<tds_server>(
            std::vector<std::string>{tds_fixture_dir() + "/all_types.tds"});
        server_->start();
        ASSERT_TRUE(c_.connect(server_->odbc_connection_string("sa", "Velmora-Pw1")))
            << c_.describe_diagnostics();
    }
    std::unique_ptr<tds_server> server_;
    odbc_client c_;
};

TEST_F(TdsTedious, ReadsEveryTypeAsFreeTdsDoes) {
    // FreeTDS's reading, as text (the UDTs, which FreeTDS gives only as bytes, in hex).
    ASSERT_TRUE(c_.execute("SELECT * FROM all_types")) << c_.describe_diagnostics();
    const auto columns = c_.columns();
    std::string json = "{\"columns\":[";
    for (std::size_t i = 0; i < columns.size(); ++i)
        json += (i ? "," : "") + json_string(columns[i].name);
    json += "],\"rows\":[";
    bool first_row = true;
    while (SQL_SUCCEEDED(c_.fetch())) {
        json += first_row ? "[" : ",[";
        first_row = false;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto column = static_cast<SQLUSMALLINT>(i + 1);
            const std::string& name = columns[i].name;
            const bool bytes_only =
                name == "c_geometry" || name == "c_geography" || name == "c_hierarchyid";
            std::optional<std::string> v = bytes_only ? c_.bytes(column) : c_.text(column);
            if (v && bytes_only)
                v = hex(*v);
            json += (i ? "," : "") + (v ? json_string(*v) : std::string("null"));
        }
        json += "]";
    }
    json += "]}";
    const std::string file = ::testing::TempDir() + "/freetds_all_types.json";
    std::ofstream(file, std::ios::binary) << json;
    int code = 0;
    const std::string out =
        node("read " + std::to_string(server_->port()) + " '" + file + "'", code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("same"), std::string::npos) << out;
}

TEST_F(TdsTedious, BulkLoadsEveryTypeItCanAndFreeTdsReadsItBack) {
    int code = 0;
    const std::string out = node("bulk " + std::to_string(server_->port()), code);
    ASSERT_EQ(code, 0) << out;
    bool bulk_seen = false;
    for (const auto& s : server_->statements())
        bulk_seen |= s.rfind("BULKLOAD", 0) == 0;
    EXPECT_TRUE(bulk_seen);
    // FreeTDS's view of the typical row.
    ASSERT_TRUE(c_.execute("SELECT c_bit, c_bigint, c_decimal, c_money, c_date, c_time7, "
                           "c_datetime, c_datetime2, c_datetimeoffset, c_char, c_nvarchar, "
                           "c_ntext, c_binary, c_varbinary, c_uniqueidentifier FROM bulk_types"))
        << c_.describe_diagnostics();
    ASSERT_TRUE(SQL_SUCCEEDED(c_.fetch()));
    const char* expected[] = {"1",
                              "1234567890123",
                              "12345.6789000000",
                              "12.2500",
                              "2024-02-29",
                              "13:45:30.1234567",
                              "2024-02-29 13:45:30.997",
                              "2024-02-29 13:45:30.1234567",
                              "2024-02-29 08:15:30.1230000 +00:00",
                              "abc       ",
                              "Grüße 😀",
                              "legacy ünïcode 😀",
                              "00010203",
                              "00ff00",
                              "6F9619FF-8B86-D011-B42D-00C04FC964FF"};
    for (std::size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(c_.text(static_cast<SQLUSMALLINT>(i + 1)).value_or("NULL"), expected[i]) << i;
    c_.close_cursor();
    // The empty values of row 3 stayed empty, not NULL.
    ASSERT_TRUE(c_.execute("SELECT c_varchar, c_nvarchar, c_varbinary, c_image FROM bulk_types"));
    std::vector<std::string> third;
    for (int r = 0; r < 3 && SQL_SUCCEEDED(c_.fetch()); ++r)
        if (r == 2)
            for (SQLUSMALLINT i = 1; i <= 4; ++i)
                third.push_back(c_.text(i).value_or("NULL"));
    EXPECT_EQ(third, (std::vector<std::string>{"", "", "", ""}));
}

} // namespace
