// A fresh TDS test server (all_types.tds) and an ODBC client logged in to it: the base of the
// tests that write into the server.
#pragma once

#include "odbc_client.h"

#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class tds_write_test : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<tds_server>(
            std::vector<std::string>{tds_fixture_dir() + "/all_types.tds"});
        server_->start();
        ASSERT_TRUE(c_.connect(connection_string())) << c_.describe_diagnostics();
    }
    std::string connection_string() const {
        return server_->odbc_connection_string("sa", "Velmora-Pw1");
    }
    // Runs a statement and reads past all its results.
    void run(const std::string& statement) {
        ASSERT_TRUE(c_.execute(statement)) << statement << "\n" << c_.describe_diagnostics();
        while (c_.more_results()) {
        }
        c_.close_cursor();
    }
    // Every row of a query as "a|b|c", NULL as "NULL".
    std::vector<std::string> rows(const std::string& query) {
        std::vector<std::string> out;
        EXPECT_TRUE(c_.execute(query)) << c_.describe_diagnostics();
        const std::size_t count = c_.columns().size();
        while (SQL_SUCCEEDED(c_.fetch())) {
            std::string row;
            for (std::size_t i = 1; i <= count; ++i)
                row += (i > 1 ? "|" : "") + c_.text(static_cast<SQLUSMALLINT>(i)).value_or("NULL");
            out.push_back(row);
        }
        c_.close_cursor();
        return out;
    }

    std::unique_ptr<tds_server> server_;
    odbc_client c_;
};
