// tds_tokens: the T-SQL tokeniser and the forward reader that the test server's recognisers share.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class tds_token_kind { word, name, string, number, punct, binary };

struct tds_token {
    tds_token_kind kind;
    std::string text;      // names unquoted; strings without quotes; binary as "0x..." text
    bool unicode = false;  // N'...' strings
    std::size_t begin = 0; // where the token starts and ends in the statement
    std::size_t end = 0;
    bool is(std::string_view word) const;
};

// Breaks a statement into tokens; returns false for text that does not tokenise (an open
// literal), which then gets a syntax error. With `quoted_identifier` off (SET QUOTED_IDENTIFIER
// OFF), "..." is a string literal, as in SQL Server, not a name.
bool tds_tokenise(std::string_view s, std::vector<tds_token>& out, bool quoted_identifier = true);

// A read position over the tokens of one statement.
struct tds_parser {
    std::span<const tds_token> t;
    std::size_t at = 0;

    bool done() const { return at >= t.size(); }
    bool accept(std::string_view word);
    bool identifier() const;
    // A multi-part object name; empty parts for "db..table". Fills `written` with the name as
    // SQL Server quotes it in messages (parts joined by dots, brackets removed).
    bool object_name(std::vector<std::string>& parts, std::string& written);
};
