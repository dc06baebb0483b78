// tds_tokens: the T-SQL tokeniser and the forward reader that the test server's recognisers share.
#include "tests/support/tds_server/tds_tokens.h"

#include "tests/support/tds_server/tds_fixture.h"

#include <cctype>

namespace {

bool word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '@' || c == '#' ||
           c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

bool hex_digit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Reads a quoted run from `i` (just past the opening quote) to its closing quote, a doubled
// closing quote standing for one; false when the text ends first. In a string (`literal`) a
// backslash before a line feed or CR LF continues the string on the next line: SQL Server drops
// the backslash and the line break, and so must a test server that is to show a writer losing them.
bool quoted(std::string_view s, std::size_t& i, char close, std::string& text, bool literal) {
    for (;;) {
        if (i >= s.size())
            return false;
        if (literal && s[i] == '\\') {
            if (i + 1 < s.size() && s[i + 1] == '\n') {
                i += 2;
                continue;
            }
            if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') {
                i += 3;
                continue;
            }
        }
        if (s[i] == close) {
            if (i + 1 < s.size() && s[i + 1] == close) {
                text.push_back(close);
                i += 2;
                continue;
            }
            ++i;
            return true;
        }
        text.push_back(s[i++]);
    }
}

} // namespace

bool tds_token::is(std::string_view word) const {
    return (kind == tds_token_kind::word || kind == tds_token_kind::punct) &&
           tds_same_name(text, word);
}

bool tds_tokenise(std::string_view s, std::vector<tds_token>& out, bool quoted_identifier) {
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        const std::size_t start = i;
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (c == '[' || (c == '"' && quoted_identifier)) {
            std::string text;
            ++i;
            if (!quoted(s, i, c == '[' ? ']' : '"', text, false))
                return false;
            out.push_back({tds_token_kind::name, std::move(text), false, start, i});
            continue;
        }
        const bool national = (c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'';
        if (c == '\'' || c == '"' || national) {
            const char close = c == '"' ? '"' : '\'';
            i += national ? 2 : 1;
            std::string text;
            if (!quoted(s, i, close, text, true))
                return false;
            out.push_back({tds_token_kind::string, std::move(text), national, start, i});
            continue;
        }
        if (c == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
            i += 2;
            while (i < s.size() && hex_digit(s[i]))
                ++i;
            if (i >= s.size() || !word_char(s[i])) {
                out.push_back({tds_token_kind::binary, std::string(s.substr(start, i - start)),
                               false, start, i});
                continue;
            }
            i = start;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            // A number with its exponent, sign included: 2.23e-308.
            while (i < s.size()) {
                const char d = s[i];
                if ((d == '-' || d == '+') && (s[i - 1] == 'e' || s[i - 1] == 'E'))
                    ++i;
                else if (std::isalnum(static_cast<unsigned char>(d)) || d == '.')
                    ++i;
                else
                    break;
            }
            out.push_back(
                {tds_token_kind::number, std::string(s.substr(start, i - start)), false, start, i});
            continue;
        }
        if (word_char(c)) {
            while (i < s.size() && word_char(s[i]))
                ++i;
            out.push_back(
                {tds_token_kind::word, std::string(s.substr(start, i - start)), false, start, i});
            continue;
        }
        out.push_back({tds_token_kind::punct, std::string(1, c), false, start, i + 1});
        ++i;
    }
    return true;
}

bool tds_parser::accept(std::string_view word) {
    if (done() || !t[at].is(word))
        return false;
    ++at;
    return true;
}

bool tds_parser::identifier() const {
    return !done() && (t[at].kind == tds_token_kind::name || t[at].kind == tds_token_kind::word);
}

bool tds_parser::object_name(std::vector<std::string>& parts, std::string& written) {
    parts.clear();
    written.clear();
    for (;;) {
        if (identifier()) {
            parts.push_back(t[at].text);
            written += t[at].text;
            ++at;
        } else {
            parts.emplace_back();
        }
        if (!accept("."))
            break;
        written += ".";
    }
    return !parts.empty() && !parts.back().empty() && parts.size() <= 4;
}
