// Foreign keys read out of the text that a MySQL server gives for SHOW CREATE TABLE.
#include "SQL/sql_fkp.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_rel.h"

#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view kw_constraint = "CONSTRAINT ";
constexpr std::string_view kw_foreign_key = " FOREIGN KEY";
constexpr std::string_view kw_references = "REFERENCES ";

bool matches_at(std::string_view line, std::size_t pos, std::string_view word) {
    if (line.size() - pos < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (tk_ascii_upper(line[pos + i]) != word[i]) {
            return false;
        }
    }
    return true;
}

// First position of `word` (ignoring letter case) outside backquoted names, searching from
// `from`; npos when none. A key word inside a name is not a key word.
std::size_t find_word(std::string_view line, std::string_view word, std::size_t from = 0) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '`') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && i >= from && matches_at(line, i, word)) {
            return i;
        }
    }
    return std::string_view::npos;
}

// First position of `c` at or after `from` outside backquoted names; npos when none.
std::size_t find_char(std::string_view line, char c, std::size_t from) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '`') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && i >= from && line[i] == c) {
            return i;
        }
    }
    return std::string_view::npos;
}

// The backquoted name that starts at `pos` (a backquote), a doubled backquote standing for one;
// `pos` moves past the closing backquote (or to the end).
std::string read_quoted(std::string_view line, std::size_t& pos) {
    std::string name;
    ++pos;
    while (pos < line.size()) {
        if (line[pos] == '`') {
            if (pos + 1 < line.size() && line[pos + 1] == '`') {
                name += '`';
                pos += 2;
                continue;
            }
            ++pos;
            break;
        }
        name += line[pos++];
    }
    return name;
}

std::string trimmed(std::string_view text) {
    return tk_trim(std::string(text));
}

std::wstring widen(const std::string& text) {
    // The server sends statement results in the connection's character set, UTF-8.
    return tk_utf8_to_wstring(text);
}

} // namespace

sql_fk_parser::sql_fk_parser(const std::wstring& table, const std::string& text)
    : table(table), lines(tk_string::tokenize(text, '\n')) {
    tk_log_message(2, "sql_fk_parser::ctor(%s)", text.c_str());
}

void sql_fk_parser::do_parse(udb_relationships& relationships) {
    tk_log_message(1, "sql_fk_parser::do_parse");
    tk_log_message(1, "Got %d chunks", static_cast<int>(lines.size()));
    for (std::size_t n = 0; n < lines.size(); ++n) {
        tk_log_message(1, "Processing FK chunk #%d", static_cast<int>(n));
        const std::string line = tk_trim(lines[n]);
        const std::size_t c = find_word(line, kw_constraint);
        if (c == std::string::npos) {
            tk_log_message(1, "CONSTRAINT is not found");
            continue;
        }
        const std::size_t f = find_word(line, kw_foreign_key, c + kw_constraint.size());
        if (f == std::string::npos) {
            tk_log_message(1, "FOREIGN KEY is not found");
            continue;
        }
        std::string name = trimmed(
            std::string_view(line).substr(c + kw_constraint.size(), f - c - kw_constraint.size()));
        if (!name.empty() && name.front() == '`') {
            std::size_t at = 0;
            name = read_quoted(name, at);
        } else {
            tk_string::replace_all(name, "`", " ");
            name = tk_trim(name);
        }
        tk_log_message(1, "Got FK name: %s", name.c_str());

        const std::size_t r = find_word(line, kw_references, f + kw_foreign_key.size());
        if (r == std::string::npos) {
            tk_log_message(1, "REFERENCES is not found");
            continue;
        }
        const std::size_t fk_from = f + kw_foreign_key.size();
        const std::string fk_columns = trimmed(std::string_view(line).substr(fk_from, r - fk_from));
        tk_log_message(1, "Got FK columns: %s", fk_columns.c_str());

        // The referenced table: the first name after REFERENCES (of `db`.`table`, the first).
        std::size_t p = r + kw_references.size();
        while (p < line.size() && line[p] == ' ') {
            ++p;
        }
        std::string pk_table;
        if (p < line.size() && line[p] == '`') {
            pk_table = read_quoted(line, p);
        } else {
            const std::size_t start = p;
            while (p < line.size() && line[p] != '`' && line[p] != '(') {
                ++p;
            }
            pk_table = trimmed(std::string_view(line).substr(start, p - start));
        }
        tk_log_message(1, "Got PK table: %s", pk_table.c_str());

        std::string pk_columns;
        std::string rule;
        const std::size_t open = find_char(line, '(', p);
        if (open != std::string::npos) {
            const std::size_t close = find_char(line, ')', open + 1);
            const std::size_t end = close == std::string::npos ? line.size() : close;
            pk_columns = trimmed(std::string_view(line).substr(open + 1, end - open - 1));
            tk_log_message(1, "Got PK columns: %s", pk_columns.c_str());
            if (!line.empty()) {
                tk_log_message(1, "fk_info[length()-1]='%c'", line.back());
            }
            if (close != std::string::npos) {
                std::string_view tail = std::string_view(line).substr(close + 1);
                if (!tail.empty() && tail.back() == ',') {
                    tail.remove_suffix(1);
                }
                rule = trimmed(tail);
            }
        }
        tk_log_message(1, "Got FK rule: %s", rule.c_str());

        std::vector<std::wstring> fk_flds;
        std::vector<std::wstring> pk_flds;
        get_columns(widen(fk_columns), fk_flds);
        get_columns(widen(pk_columns), pk_flds);
        relationships.push_back(udb_relationship(widen(name), L"", table, widen(pk_table), fk_flds,
                                                 pk_flds, widen(rule)));
    }
}

void sql_fk_parser::get_columns(const std::wstring& text, std::vector<std::wstring>& names) {
    tk_log_message(1, "sql_fk_parser::get_columns");
    bool inside = false;
    std::wstring name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c != L'`') {
            if (inside) {
                name += c;
            }
            continue;
        }
        if (inside && i + 1 < text.size() && text[i + 1] == L'`') {
            name += L'`';
            ++i;
            continue;
        }
        inside = !inside;
        if (!inside) {
            tk_log_wmessage(1, L"GOT FK COLUMN: %ls", name.c_str());
            names.push_back(name);
            name.clear();
        }
    }
}
