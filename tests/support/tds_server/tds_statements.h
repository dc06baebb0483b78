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

// Everything the server serves: its fixture databases and its version text.
struct tds_catalogue {
    std::vector<tds_fixture_database> databases;
    std::string version;

    const tds_fixture_database* find(std::string_view database) const;
};

// Where a statement runs: the catalogue and the session's current database.
struct tds_statement_context {
    const tds_catalogue& catalogue;
    const tds_fixture_database& database;
};

// Answers one statement: first a fixture's canned answers, then the recognisers in
// tds_statements.cpp (each answers what it knows; new statements are new recognisers in that
// list); a statement none knows gets the error SQL Server gives for it.
tds_answer tds_answer_statement(const tds_statement_context& context, std::string_view statement);

// Splits a batch at semicolons outside literals, names and comments; drops empty statements.
std::vector<std::string> tds_split_batch(std::string_view batch);
// Collapses white space outside literals and trims: the form answers and faults compare.
std::string tds_normalise(std::string_view statement);
// Case-insensitive containment, for fault matching.
bool tds_contains(std::string_view haystack, std::string_view needle);
