// tds_fixture: the fixture database model that the TDS test server answers from, and the reader
// of its fixture files (format: docs/tds-test-server.md).
#pragma once

#include "tests/support/tds_server/tds_types.h"

#include <cstdint>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A fault in a fixture file or fixture text, with file and line in the message.
class tds_fixture_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct tds_fixture_column {
    std::string name;
    tds_type type;
    bool nullable = true;
    bool identity = false;
    std::int64_t identity_seed = 1;
    std::int64_t identity_increment = 1;
    std::string default_definition;  // as sys.default_constraints holds it, e.g. "((0))"
    std::string computed_definition; // as sys.computed_columns holds it; empty when stored
};

struct tds_fixture_index {
    std::string name;
    bool primary_key = false;
    bool unique = false;
    bool constraint = false; // a UNIQUE constraint, not a bare unique index (its error differs)
    std::vector<std::string> columns;
    std::vector<bool> descending; // one per key column
    std::vector<std::string> included;
    bool clustered = false;                  // set by the DDL statements (tds_ddl.cpp)
    std::vector<std::string> filter_columns; // WHERE c IS NOT NULL AND ...: rows with a NULL there
                                             // are not in the index
};

struct tds_fixture_foreign_key {
    std::string name;
    std::vector<std::string> columns;
    std::string referenced_schema;
    std::string referenced_table;
    std::vector<std::string> referenced_columns;
    // As sys.foreign_keys describes them: NO_ACTION, CASCADE, SET_NULL, SET_DEFAULT.
    std::string delete_action = "NO_ACTION";
    std::string update_action = "NO_ACTION";
};

// What the statements that write a table keep beside its rows (tds_writes.cpp).
struct tds_table_state;

// Rows are listed in the file, or generated from one template row in which "{n}" stands for
// the 1-based row number, so a million-row table costs no memory.
struct tds_fixture_table {
    std::string schema;
    std::string name;
    std::vector<tds_fixture_column> columns;
    std::vector<tds_fixture_index> indexes; // the primary key too, flagged
    std::vector<tds_fixture_foreign_key> foreign_keys;
    std::vector<std::vector<tds_value>> rows;
    std::uint64_t generated_rows = 0;
    std::vector<tds_value> row_template;
    std::shared_ptr<tds_table_state> state; // made by the first write

    std::uint64_t row_count() const { return rows.size() + generated_rows; }
    // Fills `out` with row `index` (0-based, listed rows first).
    void row(std::uint64_t index, std::vector<tds_value>& out) const;
    const tds_fixture_column* find_column(std::string_view column) const;
};

struct tds_fixture_view {
    std::string schema;
    std::string name;
    std::string definition; // the whole CREATE VIEW text, as sys.sql_modules holds it
};

struct tds_fixture_sequence {
    std::string schema;
    std::string name;
    tds_type type;
    std::int64_t start = 1;
    std::int64_t increment = 1;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    bool cycling = false;
};

// A column of a canned or computed result.
struct tds_result_column {
    std::string name;
    tds_type type;
    bool nullable = true;
    bool identity = false;
    bool computed = false;
    std::string table; // for text, ntext and image columns
};

// A statement answered with fixed rows, for statements the model does not derive (yet).
struct tds_fixture_answer {
    std::string statement; // compared with white space collapsed, ignoring case
    std::vector<tds_result_column> columns;
    std::vector<std::vector<tds_value>> rows;
};

struct tds_fixture_login {
    std::string user;
    std::string password;
};

struct tds_fixture_database {
    std::string name;
    tds_collation collation = tds_default_collation();
    std::vector<std::string> schemas; // dbo first
    // A list, so that a table keeps its address while others are created or dropped: a result
    // being streamed from it stays valid. Dropped tables move to `dropped_tables` for the same
    // reason.
    std::list<tds_fixture_table> tables;
    std::list<tds_fixture_table> dropped_tables;
    std::vector<tds_fixture_view> views;
    std::vector<tds_fixture_sequence> sequences;
    std::vector<tds_fixture_answer> answers;
    std::vector<tds_fixture_login> logins;
    std::string version; // SELECT @@VERSION; empty takes the server's default

    // Finds a table by schema and name, ignoring case as SQL Server's default collation does.
    const tds_fixture_table* find_table(std::string_view schema, std::string_view table) const;
    tds_fixture_table* find_table(std::string_view schema, std::string_view table);
    const tds_fixture_view* find_view(std::string_view schema, std::string_view view) const;
};

// Reads a fixture file; throws tds_fixture_error naming the file and line.
tds_fixture_database tds_load_fixture(const std::string& path);
// Reads fixture text (what a file holds); `origin` names it in error messages.
tds_fixture_database tds_parse_fixture(std::string_view text, const std::string& origin);

// Folder of the fixture files that come with the server.
std::string tds_fixture_dir();

// Splits "[db].[schema].[table]", "schema.table" or "table" into its unquoted parts; throws
// std::invalid_argument for a malformed name.
std::vector<std::string> tds_split_name(std::string_view name);
// Compares SQL names as a case-insensitive collation does.
bool tds_same_name(std::string_view a, std::string_view b);
