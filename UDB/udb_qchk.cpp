// The single-SELECT check of user queries and view texts.
#include "UDB/udb_qchk.h"

#include "TK/tk_excep.h"
#include "TK/tk_utils.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <utility>
#include <vector>

namespace {

// Reserved words of T-SQL that begin a statement (or, INTO, make a SELECT write a table). Only
// reserved words: another word may be a column's name, unquoted.
// OPENROWSET, OPENQUERY and OPENDATASOURCE pass a text of their own to another server, which
// may run any statement there. RECEIVE is not reserved but begins a statement that takes
// messages off a queue: as a name it must be quoted.
constexpr std::array<std::wstring_view, 52> statement_keywords = {
    L"ADD",        L"ALTER",   L"BACKUP",    L"BEGIN",     L"BREAK",          L"CHECKPOINT",
    L"CLOSE",      L"COMMIT",  L"CONTINUE",  L"CREATE",    L"DBCC",           L"DEALLOCATE",
    L"DECLARE",    L"DELETE",  L"DENY",      L"DROP",      L"DUMP",           L"EXEC",
    L"EXECUTE",    L"GOTO",    L"GRANT",     L"IF",        L"INSERT",         L"INTO",
    L"KILL",       L"LOAD",    L"MERGE",     L"OPEN",      L"OPENDATASOURCE", L"OPENQUERY",
    L"OPENROWSET", L"PRINT",   L"RAISERROR", L"READTEXT",  L"RECEIVE",        L"RECONFIGURE",
    L"RESTORE",    L"RETURN",  L"REVERT",    L"REVOKE",    L"ROLLBACK",       L"SAVE",
    L"SET",        L"SETUSER", L"SHUTDOWN",  L"TRUNCATE",  L"UPDATE",         L"UPDATETEXT",
    L"USE",        L"WAITFOR", L"WHILE",     L"WRITETEXT",
};

// Statements that begin with words that are not reserved, so each may be a name alone. The
// Service Broker ones send, end or move a conversation (BEGIN DIALOG and BEGIN CONVERSATION
// TIMER begin with a reserved word, RECEIVE is in the list above).
constexpr std::array<std::array<std::wstring_view, 3>, 7> statement_phrases = {{
    {L"DISABLE", L"TRIGGER", L""},
    {L"ENABLE", L"TRIGGER", L""},
    {L"NEXT", L"VALUE", L"FOR"}, // moves a sequence on
    {L"END", L"CONVERSATION", L""},
    {L"SEND", L"ON", L"CONVERSATION"},
    {L"MOVE", L"CONVERSATION", L""},
    {L"GET", L"CONVERSATION", L"GROUP"},
}};

enum class token_kind { word, symbol, end_of_statement };

struct token {
    token_kind kind;
    std::wstring text;  // words in upper case
    bool glued = false; // nothing (no blank, no comment) between it and the token before
};

// Character classes of ASCII are fixed here rather than asked of the locale: SQL Server's own do
// not change with the client's.
bool ascii_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool ascii_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool word_start(wchar_t c) {
    return ascii_letter(c) || c == L'_' || c == L'@' || c == L'#' ||
           (c > 0x7F && !udb_unicode_blank(c));
}

bool word_part(wchar_t c) {
    return word_start(c) || ascii_digit(c) || c == L'$';
}

// Reads T-SQL text into words and symbols, skipping white space, literals, quoted names and
// comments. One forward pass; block comments nest as SQL Server nests them.
class reader {
public:
    explicit reader(std::wstring_view text) : s_(text) {}

    // The tokens; `fault` names what SQL Server would not read to its end (an open literal,
    // name or comment).
    std::vector<token> tokens(std::wstring& fault) {
        std::vector<token> out;
        while (at_ < s_.size() && fault.empty()) {
            const wchar_t c = s_[at_];
            const std::size_t start = at_;
            if (std::iswspace(static_cast<wint_t>(c)) || udb_unicode_blank(c)) {
                ++at_;
            } else if (starts(L"--")) {
                // A carriage return alone may end the line for one reader and not for another:
                // what stands after it would be code to one and comment to the other.
                while (at_ < s_.size() && s_[at_] != L'\n' && s_[at_] != L'\r')
                    ++at_;
                comments_.push_back({start, at_});
                if (at_ < s_.size() && s_[at_] == L'\r' &&
                    (at_ + 1 == s_.size() || s_[at_ + 1] != L'\n'))
                    fault = L"a \"--\" comment that a carriage return alone ends, "
                            L"which readers take differently";
            } else if (starts(L"/*")) {
                if (!skip_block_comment())
                    fault = L"an unclosed comment";
                comments_.push_back({start, at_});
            } else if (c == L'\'' || c == L'[' || c == L'"') {
                if (!skip_quoted(c == L'[' ? L']' : c))
                    fault = c == L'\'' ? L"an unclosed literal" : L"an unclosed quoted name";
            } else if (ascii_digit(c)) {
                skip_number();
            } else if (word_start(c)) {
                const bool glued = start == last_end_;
                out.push_back({token_kind::word, read_word(), glued});
                last_end_ = at_;
            } else if (c == L']' || c == L'`') {
                // SQL Server refuses both outside literals and names, while a rewriting for
                // MySQL turns them into the quote of a name, which would take in what follows.
                fault = c == L']' ? L"a \"]\" that closes no name"
                                  : L"a \"`\", which MySQL reads as the quote of a name";
            } else {
                out.push_back({c == L';' ? token_kind::end_of_statement : token_kind::symbol,
                               std::wstring(1, c), start == last_end_});
                last_end_ = ++at_;
            }
        }
        return out;
    }

    // Where each comment read by tokens() begins and ends.
    const std::vector<std::pair<std::size_t, std::size_t>>& comments() const { return comments_; }

private:
    bool starts(std::wstring_view prefix) const { return s_.substr(at_, prefix.size()) == prefix; }

    bool skip_block_comment() {
        std::size_t depth = 0;
        while (at_ < s_.size()) {
            if (starts(L"/*")) {
                ++depth;
                at_ += 2;
            } else if (starts(L"*/")) {
                at_ += 2;
                if (--depth == 0)
                    return true;
            } else {
                ++at_;
            }
        }
        return false;
    }

    // A number as SQL Server reads it: 0x and hex digits, or digits with a point and an
    // exponent. It ends where those end: SQL Server reads "1DELETE" as 1 and the keyword DELETE,
    // and "0xUPDATE" as 0x and UPDATE, so what follows must be read as a word of its own.
    void skip_number() {
        const auto digit = [this](std::size_t i) { return i < s_.size() && ascii_digit(s_[i]); };
        if (starts(L"0x") || starts(L"0X")) {
            for (at_ += 2; at_ < s_.size() && std::iswxdigit(static_cast<wint_t>(s_[at_]));)
                ++at_;
            return;
        }
        while (digit(at_) || (at_ < s_.size() && s_[at_] == L'.'))
            ++at_;
        if (at_ < s_.size() && (s_[at_] == L'e' || s_[at_] == L'E')) {
            const std::size_t sign = at_ + 1;
            const bool signed_exponent =
                sign < s_.size() && (s_[sign] == L'+' || s_[sign] == L'-') && digit(sign + 1);
            if (digit(sign) || signed_exponent) {
                at_ = signed_exponent ? sign + 1 : sign;
                while (digit(at_))
                    ++at_;
            }
        }
    }

    // A literal or quoted name from its opening character; a doubled closing one stays inside.
    bool skip_quoted(wchar_t close) {
        for (++at_; at_ < s_.size(); ++at_) {
            if (s_[at_] != close)
                continue;
            if (at_ + 1 < s_.size() && s_[at_ + 1] == close) {
                ++at_;
                continue;
            }
            ++at_;
            return true;
        }
        return false;
    }

    std::wstring read_word() {
        std::wstring word;
        while (at_ < s_.size() && word_part(s_[at_]))
            word.push_back(tk_ascii_upper(s_[at_++]));
        return word;
    }

    std::wstring_view s_;
    std::size_t at_ = 0;
    // Where the last token ended. A literal, quoted name or number is no token: a word after
    // "t.[a]" or ".5" is glued to nothing, whereas SQL Server ends the name or number before it.
    std::size_t last_end_ = std::wstring_view::npos;
    std::vector<std::pair<std::size_t, std::size_t>> comments_;
};

bool is_word(const std::vector<token>& tokens, std::size_t i, std::wstring_view word) {
    return i < tokens.size() && tokens[i].kind == token_kind::word && tokens[i].text == word;
}

bool is_statement_keyword(const std::wstring& word) {
    for (std::wstring_view keyword : statement_keywords)
        if (word == keyword)
            return true;
    return false;
}

// The statement phrase that begins at token i ("NEXT VALUE FOR"), or an empty string.
std::wstring statement_phrase_at(const std::vector<token>& tokens, std::size_t i) {
    for (const auto& phrase : statement_phrases) {
        std::wstring words;
        std::size_t k = 0;
        for (; k < phrase.size() && !phrase[k].empty(); ++k) {
            if (!is_word(tokens, i + k, phrase[k]))
                break;
            words += (k == 0 ? L"" : L" ") + std::wstring(phrase[k]);
        }
        if (k == phrase.size() || phrase[k].empty())
            return words;
    }
    return {};
}

bool is_symbol(const std::vector<token>& tokens, std::size_t i, std::wstring_view symbol) {
    return i < tokens.size() && tokens[i].kind == token_kind::symbol && tokens[i].text == symbol;
}

// Which tokens stand inside the parentheses of an OPTION clause, the only place where USE HINT
// and USE PLAN are hints: anywhere else "USE HINT" switches to a database named HINT.
std::vector<bool> inside_option_clause(const std::vector<token>& tokens) {
    std::vector<bool> inside(tokens.size(), false);
    std::size_t depth = 0;
    std::size_t option_depth = 0; // the depth of the clause's own "(", 0 outside it
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (is_symbol(tokens, i, L"(")) {
            ++depth;
            if (option_depth == 0 && i > 0 && is_word(tokens, i - 1, L"OPTION"))
                option_depth = depth;
        } else if (is_symbol(tokens, i, L")")) {
            if (depth == option_depth)
                option_depth = 0;
            if (depth > 0)
                --depth;
        }
        inside[i] = option_depth != 0;
    }
    return inside;
}

// Keywords that stand inside a SELECT without beginning a statement: the query hints
// OPTION (USE HINT (...)), OPTION (USE PLAN N'...') and the join hints MERGE JOIN, MERGE UNION;
// and a word right after a "." (nothing between them), which is part of a qualified name.
bool keyword_inside_select(const std::vector<token>& tokens, std::size_t i, bool in_option) {
    if (i > 0 && tokens[i].glued && tokens[i - 1].kind == token_kind::symbol &&
        tokens[i - 1].text == L".")
        return true;
    if (tokens[i].text == L"USE")
        return in_option && (is_word(tokens, i + 1, L"HINT") || is_word(tokens, i + 1, L"PLAN"));
    if (tokens[i].text == L"MERGE")
        return is_word(tokens, i + 1, L"JOIN") || is_word(tokens, i + 1, L"UNION");
    return false;
}

} // namespace

bool udb_unicode_blank(wchar_t c) {
    return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200B) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000 || c == 0xFEFF;
}

std::wstring udb_single_select_fault(std::wstring_view text) {
    std::wstring fault;
    const std::vector<token> tokens = reader(text).tokens(fault);
    if (!fault.empty())
        return L"it holds " + fault;
    if (tokens.empty() || !(is_word(tokens, 0, L"SELECT") || is_word(tokens, 0, L"WITH") ||
                            (tokens[0].kind == token_kind::symbol && tokens[0].text == L"(")))
        return L"it does not begin with SELECT or WITH";
    const std::vector<bool> in_option = inside_option_clause(tokens);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const token& t = tokens[i];
        if (t.kind == token_kind::end_of_statement) {
            for (std::size_t k = i + 1; k < tokens.size(); ++k)
                if (tokens[k].kind != token_kind::end_of_statement)
                    return L"another statement follows its \";\"";
            break;
        }
        // The ODBC driver rewrites these before the text leaves, whatever SQL_NOSCAN says, and
        // T-SQL has no use for them outside literals and names.
        if (t.kind == token_kind::symbol && t.text == L"{")
            return L"it holds \"{\", which the ODBC driver reads as an escape";
        if (t.kind == token_kind::symbol && t.text == L"}")
            return L"it holds \"}\", which the ODBC driver reads as the end of an escape";
        if (t.kind == token_kind::symbol && t.text == L"?")
            return L"it holds \"?\", which the ODBC driver reads as a parameter marker";
        if (t.kind != token_kind::word || keyword_inside_select(tokens, i, in_option[i]))
            continue;
        if (is_statement_keyword(t.text))
            return L"it holds the keyword " + t.text;
        const std::wstring phrase = statement_phrase_at(tokens, i);
        if (!phrase.empty())
            return L"it holds " + phrase;
    }
    return {};
}

std::wstring udb_without_comments(std::wstring_view text) {
    reader read(text);
    std::wstring fault;
    read.tokens(fault);
    // A text the check refuses keeps its comments, so that every later check refuses it too.
    if (!fault.empty())
        return std::wstring(text);
    std::wstring out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (const auto& [begin, end] : read.comments()) {
        out.append(text.substr(from, begin - from));
        out.push_back(L' ');
        from = end;
    }
    out.append(text.substr(std::min(from, text.size())));
    return out;
}

void udb_check_single_select(std::wstring_view kind, std::wstring_view name,
                             std::wstring_view text) {
    const std::wstring fault = udb_single_select_fault(text);
    if (!fault.empty())
        throw tk_exception(std::wstring(kind) + L" '" + std::wstring(name) +
                               L"' is not a single SELECT statement: " + fault,
                           1);
}

std::wstring udb_select_to_send(std::wstring_view kind, std::wstring_view name,
                                std::wstring_view text) {
    udb_check_single_select(kind, name, text);
    return udb_without_comments(text);
}
