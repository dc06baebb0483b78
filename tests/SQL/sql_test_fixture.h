// Fixtures of the MySQL target's tests: an engine without a server, an engine connected to the
// MariaDB test server with a database of the test's own, and an error handler that records.
#pragma once

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "TK/tk_utils.h"
#include "UDB/udb_services.h"
#include "UDB/udb_schema.h"
#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sql_test {

// A plain client connection to the MariaDB test server in utf8mb4, without the engine: for tests
// that ask the server itself how it treats characters.
class plain_client_test : public ::testing::Test {
protected:
    void SetUp() override {
        const auto server = test_support::mysql_server_from_env();
        ASSERT_FALSE(server.host.empty());
        mysql_init(&mysql_);
        ASSERT_NE(mysql_real_connect(&mysql_, server.host.c_str(), server.user.c_str(),
                                     server.password.c_str(), nullptr, server.port, nullptr, 0),
                  nullptr)
            << mysql_error(&mysql_);
        ASSERT_EQ(mysql_query(&mysql_, "SET NAMES utf8mb4"), 0) << mysql_error(&mysql_);
    }
    void TearDown() override { mysql_close(&mysql_); }

    MYSQL mysql_{};
};

// A column descriptor as the MS SQL source makes it.
inline std::shared_ptr<t_ftd> column(const std::wstring& name, VARTYPE vt, int32_t size,
                                     int32_t subtype = 0, int32_t prec = 0, int32_t scale = 0) {
    auto c = std::make_shared<t_ftd>(size, name, vt, false, false, ole_variant(), subtype, L"");
    c->prec = prec;
    c->scale = scale;
    return c;
}

// An engine with no connection, at a chosen version.
class offline_engine {
public:
    explicit offline_engine(uint32_t version, const std::string& info = "") {
        engine.version = version;
        engine.server_info = info;
    }
    sql_engine engine;
};

// Records what reaches the error handler.
class recording_error_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override {
        messages.push_back(context + ": " + error.what());
    }
    std::vector<std::string> messages;
};

// One row of a plain query on the engine's connection, each cell as text ("NULL" for NULL).
inline std::vector<std::string> fetch_row(MYSQL* mysql, const std::string& statement) {
    std::vector<std::string> cells;
    if (mysql_real_query(mysql, statement.data(), statement.size()) != 0) {
        ADD_FAILURE() << statement << ": " << mysql_error(mysql);
        return cells;
    }
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result == nullptr) {
        return cells;
    }
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row != nullptr) {
        const unsigned long* lengths = mysql_fetch_lengths(result);
        for (unsigned i = 0; i < mysql_num_fields(result); ++i) {
            cells.push_back(row[i] != nullptr ? std::string(row[i], lengths[i]) : "NULL");
        }
    }
    mysql_free_result(result);
    return cells;
}

inline std::string fetch_value(MYSQL* mysql, const std::string& statement, int column = 0) {
    const std::vector<std::string> row = fetch_row(mysql, statement);
    return static_cast<std::size_t>(column) < row.size() ? row[column] : std::string("<none>");
}

inline void exec(MYSQL* mysql, const std::string& statement) {
    if (mysql_real_query(mysql, statement.data(), statement.size()) != 0) {
        ADD_FAILURE() << statement << ": " << mysql_error(mysql);
        return;
    }
    if (MYSQL_RES* result = mysql_store_result(mysql)) {
        mysql_free_result(result);
    }
}

// An engine connected to the test server, and a database name of the test's own (the program,
// the suite and the test), dropped before and after the test.
class server_test : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = test_support::mysql_server_from_env();
        ASSERT_FALSE(server_.host.empty());
        engine_ = std::make_unique<sql_engine>();
        engine_->connect(server_.host, server_.user, server_.password,
                         static_cast<int>(server_.port));
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name =
            std::string(program_prefix()) + info->test_suite_name() + "_" + info->name();
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        if (name.size() > 64) {
            name = name.substr(0, 50) + "_" +
                   std::to_string(std::hash<std::string>{}(name) % 1000000000);
        }
        db_name_ = name;
        drop_database();
    }

    void TearDown() override {
        if (engine_ && engine_->connected) {
            drop_database();
        }
        engine_.reset();
    }

    virtual const char* program_prefix() const { return "test_SQL_"; }

    void drop_database() {
        exec(mysql(),
             "DROP DATABASE IF EXISTS " + tk_to_utf8(sql_quote_identifier(wide_db_name())));
    }

    std::unique_ptr<sql_database> create_db() {
        std::unique_ptr<udb_database> db = engine_->create_db(tk_utf8_to_wstring(db_name_));
        return std::unique_ptr<sql_database>(static_cast<sql_database*>(db.release()));
    }

    std::unique_ptr<sql_database> open_db(int32_t mode = 0xA8) {
        std::unique_ptr<udb_database> db = engine_->open_db(tk_utf8_to_wstring(db_name_), mode);
        return std::unique_ptr<sql_database>(static_cast<sql_database*>(db.release()));
    }

    MYSQL* mysql() { return engine_->connection(); }
    std::wstring wide_db_name() const { return tk_utf8_to_wstring(db_name_); }

    test_support::mysql_test_server server_;
    std::unique_ptr<sql_engine> engine_;
    std::string db_name_;
};

} // namespace sql_test
