// Fixtures of the MySQL table tests: an engine connected to the MariaDB test server with a
// database of the test's own, an error handler that records, and records built by hand.
#pragma once

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_tab.h"
#include "TK/tk_utils.h"
#include "UDB/udb_services.h"
#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

namespace table_test {

// Records what reaches the error handler; can answer Abort.
class recording_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override {
        messages.push_back(context + ": " + error.what());
        if (abort) {
            throw tk_final_exception();
        }
    }
    std::vector<std::string> messages;
    bool abort = false;
};

// Rows of a plain statement on `mysql`, each cell as text ("NULL" for NULL).
inline std::vector<std::vector<std::string>> rows_of(MYSQL* mysql, const std::string& statement) {
    std::vector<std::vector<std::string>> rows;
    if (mysql_real_query(mysql, statement.data(), statement.size()) != 0) {
        ADD_FAILURE() << statement << ": " << mysql_error(mysql);
        return rows;
    }
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result == nullptr) {
        return rows;
    }
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        const unsigned long* lengths = mysql_fetch_lengths(result);
        std::vector<std::string> cells;
        for (unsigned i = 0; i < mysql_num_fields(result); ++i) {
            cells.push_back(row[i] != nullptr ? std::string(row[i], lengths[i]) : "NULL");
        }
        rows.push_back(std::move(cells));
    }
    mysql_free_result(result);
    return rows;
}

inline std::string value_of(MYSQL* mysql, const std::string& statement) {
    const auto rows = rows_of(mysql, statement);
    return rows.empty() || rows[0].empty() ? std::string("<none>") : rows[0][0];
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

// A field of a hand-made record.
inline std::unique_ptr<udb_field> field(const std::wstring& name, const ole_variant& value,
                                        std::uint32_t size = 0) {
    return std::make_unique<udb_field>(name, size, value, false, false);
}

inline ole_variant int_value(int v) {
    return ole_variant::from_string(std::to_string(v), VT_I4);
}
inline ole_variant text_value(const std::wstring& text) {
    return ole_variant(text);
}
inline ole_variant bytes_value(const std::vector<uint8_t>& bytes) {
    return ole_variant(bytes);
}

// An engine connected to the test server and a database of the test's own, dropped before and
// after the test.
class server_test : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = test_support::mysql_server_from_env();
        ASSERT_FALSE(server_.host.empty());
        engine_ = std::make_unique<sql_engine>();
        engine_->connect(server_.host, server_.user, server_.password,
                         static_cast<int>(server_.port));
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("tab_") + info->test_suite_name() + "_" + info->name();
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        // Runs of two builds at once must not share a database.
        name += "_" + std::to_string(getpid());
        if (name.size() > 60) {
            name = name.substr(0, 48) + "_" +
                   std::to_string(std::hash<std::string>{}(name) % 100000000);
        }
        db_name_ = name;
        drop();
        exec(mysql(), "CREATE DATABASE `" + db_name_ + "` CHARACTER SET utf8mb4");
        exec(mysql(), "USE `" + db_name_ + "`");
    }

    void TearDown() override {
        if (engine_ && engine_->connected) {
            mysql_real_query(mysql(), "UNLOCK TABLES", 13);
            drop();
        }
        engine_.reset();
    }

    void drop() { exec(mysql(), "DROP DATABASE IF EXISTS `" + db_name_ + "`"); }

    // The database opened through the engine (mode 0xA8 unless told).
    std::unique_ptr<sql_database> open_db(int32_t mode = 0xA8) {
        std::unique_ptr<udb_database> db = engine_->open_db(tk_utf8_to_wstring(db_name_), mode);
        return std::unique_ptr<sql_database>(static_cast<sql_database*>(db.release()));
    }

    std::unique_ptr<sql_table> table(sql_database& db, const std::wstring& name,
                                     int32_t flags = 8) {
        std::unique_ptr<udb_recordset> rs = db.get_table(name, flags);
        return std::unique_ptr<sql_table>(static_cast<sql_table*>(rs.release()));
    }

    MYSQL* mysql() { return engine_->connection(); }

    test_support::mysql_test_server server_;
    std::unique_ptr<sql_engine> engine_;
    std::string db_name_;
};

} // namespace table_test
