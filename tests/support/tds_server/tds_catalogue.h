// tds_catalogue: answers the catalogue statements of the MS SQL source (system views, stored
// procedures) from the fixture model, as SQL Server would.
#pragma once

#include "tests/support/tds_server/tds_statements.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Answers a catalogue statement it knows; nothing for other statements.
std::optional<tds_answer> tds_answer_catalogue(const tds_statement_context& context,
                                               std::string_view statement);

// Matches a statement against a template in which %s stands for a value (up to the
// template's next character, with '' read as one quote); white space runs and case are
// ignored. Fills `values` on a match.
bool tds_match_template(std::string_view templ, std::string_view statement,
                        std::vector<std::string>& values);
