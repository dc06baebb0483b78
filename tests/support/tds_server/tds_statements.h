// tds_statements: recognises the statements the TDS test server is sent and answers them from
// the fixture databases, as SQL Server would (result sets, row counts, server errors).
#pragma once

#include "tests/support/tds_server/tds_fixture.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An ERROR or INFO token's content.
struct tds_message {
    std::int32_t number = 0;
    std::uint8_t state = 1;
    std::uint8_t severity = 16; // ERROR when above 10, INFO otherwise
    std::string text;
};

// A result set whose rows are produced one at a time, so large tables stream.
struct tds_result_set {
    std::vector<tds_result_column> columns;
    std::uint64_t row_count = 0;
    std::function<void(std::uint64_t index, std::vector<tds_value>& row)> row;
};

// What one statement answers.
struct tds_answer {
    std::vector<tds_message> infos;
    std::optional<tds_message> error;
    std::optional<tds_result_set> result;
    std::optional<std::uint64_t> affected; // a row count for statements without a result set
    std::string new_database;              // set by USE
};

// The message and failing answer that the write and definition handlers build their errors from.
namespace tds_reply {
tds_message message(std::int32_t number, std::uint8_t severity, std::uint8_t state,
                    std::string text);
tds_answer error_answer(tds_message m);
} // namespace tds_reply

// Everything the server serves: its fixture databases and its version text.
struct tds_catalogue {
    std::vector<tds_fixture_database> databases;
    std::string version;
    // Written rows are checked (types, lengths, keys) and counted, but not kept: a benchmark's
    // million rows cost the server no memory beyond their keys.
    bool discard_written_rows = false;
    std::uint64_t discarded_rows = 0;

    const tds_fixture_database* find(std::string_view database) const;
    tds_fixture_database* find(std::string_view database);
};

// What a session remembers between statements.
struct tds_session_state {
    // SET QUOTED_IDENTIFIER: with it off, "..." is a string literal, not a name.
    bool quoted_identifier = true;
    // SET FMTONLY: with it on, a SELECT answers its columns without rows and every other
    // statement but SET does nothing.
    bool format_only = false;
    // The table whose IDENTITY_INSERT is ON in this session (one at most, as in SQL Server).
    const struct tds_fixture_table* identity_insert = nullptr;
    std::string identity_insert_name; // database.schema.table, for error 8107
    // Set by INSERT BULK: the table and the columns that the next BULKLOAD message fills.
    struct bulk_target {
        tds_fixture_database* database = nullptr;
        tds_fixture_table* table = nullptr;
        std::string written;              // the name as the statement wrote it
        std::vector<std::size_t> columns; // the statement's columns, in the stream's order
        bool keep_identity = false;
        bool keep_nulls = false;
    };
    std::optional<bulk_target> bulk;
};

// Where a statement runs: the catalogue, the session's current database and its state. The
// server holds its model lock while a statement is answered and while each result row is made.
struct tds_statement_context {
    tds_catalogue& catalogue;
    tds_fixture_database& database;
    tds_session_state* session = nullptr;
};

// Answers one statement: first a fixture's canned answers, then the recognisers in
// tds_statements.cpp (each answers what it knows; new statements are new recognisers in that
// list); a statement none knows gets the error SQL Server gives for it.
tds_answer tds_answer_statement(const tds_statement_context& context, std::string_view statement);

// Splits a batch at semicolons outside literals, names and comments; drops empty statements.
std::vector<std::string> tds_split_batch(std::string_view batch);

// The error that keeps a batch from compiling, found before any of its statements runs: SQL
// Server compiles the whole batch first and runs none of it when a statement cannot be read (an
// unclosed quotation mark, a name over 128 characters) or has a syntax error. Each statement is
// answered against a row-less copy of the model and of the session (`database` being its current
// one), so the batch's own SET QUOTED_IDENTIFIER, USE and CREATE TABLE count for the statements
// after them; the model itself is not changed.
std::optional<tds_message> tds_compile_batch(const tds_catalogue& catalogue,
                                             const tds_fixture_database& database,
                                             const tds_session_state& session,
                                             const std::vector<std::string>& statements);
// Collapses white space outside literals and trims: the form answers and faults compare.
std::string tds_normalise(std::string_view statement);
// Case-insensitive containment, for fault matching.
bool tds_contains(std::string_view haystack, std::string_view needle);
