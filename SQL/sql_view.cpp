// Rewriting of view texts between T-SQL and MySQL.
#include "SQL/sql_view.h"

#include "TK/tk_log.h"
#include "TK/tk_excep.h"
#include "UDB/udb_nmap.h"
#include "UDB/udb_qchk.h"
#include "UDB/udb_util.h"

#include <cstddef>
#include <cwchar>
#include <vector>

namespace {

bool is_space(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

wchar_t ascii_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}

// First occurrence of the ASCII `pattern` at or after `from`, letter case ignored.
std::size_t find_no_case(const std::wstring& text, const std::wstring& pattern, std::size_t from) {
    if (pattern.empty() || text.size() < pattern.size()) {
        return std::wstring::npos;
    }
    for (std::size_t i = from; i + pattern.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < pattern.size() && ascii_lower(text[i + k]) == ascii_lower(pattern[k])) {
            ++k;
        }
        if (k == pattern.size()) {
            return i;
        }
    }
    return std::wstring::npos;
}

std::wstring trim_spaces(const std::wstring& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && is_space(text[first])) {
        ++first;
    }
    while (last > first && is_space(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

} // namespace

std::wstring sql_view_converter::normalize_spaces(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    bool in_single = false;
    bool in_double = false;
    bool in_space = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const wchar_t c = text[i];
        if (in_single || in_double) {
            if ((c == L'\'' && in_single) || (c == L'"' && in_double)) {
                in_single = false;
                in_double = false;
            } else if (c == L'\\') {
                // MySQL reads a backslash in a literal as an escape: doubled, it stays one
                // character and cannot carry the closing quote into the literal.
                out += c;
            }
            out += c;
            ++i;
            continue;
        }
        if (c == L'[') {
            // A bracketed name is copied whole: its quotes open no literal.
            std::size_t end = i + 1;
            while (end < text.size() &&
                   (text[end] != L']' || (end + 1 < text.size() && text[end + 1] == L']'))) {
                end += text[end] == L']' ? 2 : 1;
            }
            end = end < text.size() ? end + 1 : end;
            out.append(text, i, end - i);
            in_space = false;
            i = end;
            continue;
        }
        if (is_space(c)) {
            if (!in_space) {
                out += L' ';
                in_space = true;
            }
            ++i;
            continue;
        }
        in_space = false;
        if (c == L'-' && i + 1 < text.size() && text[i + 1] == L'-') {
            // A line comment would swallow the rest of the joined text: make it a block comment,
            // keeping a "*/" inside it from ending the block early.
            std::size_t end = i + 2;
            while (end < text.size() && text[end] != L'\n' && text[end] != L'\r') {
                ++end;
            }
            std::wstring body = text.substr(i + 2, end - i - 2);
            for (std::size_t p = body.find(L"*/"); p != std::wstring::npos;
                 p = body.find(L"*/", p)) {
                body.replace(p, 2, L"* /");
            }
            out += L"/*";
            out += body;
            out += L"*/";
            i = end;
            continue;
        }
        if (c == L'/' && i + 1 < text.size() && text[i + 1] == L'*') {
            // Quotes inside a block comment do not open literals.
            std::size_t end = text.find(L"*/", i + 2);
            end = (end == std::wstring::npos) ? text.size() : end + 2;
            out.append(text, i, end - i);
            i = end;
            continue;
        }
        if (c == L'\'') {
            in_single = true;
        } else if (c == L'"') {
            in_double = true;
        }
        out += c;
        ++i;
    }
    return out;
}

std::wstring sql_view_converter::rename_functions(const std::wstring& text,
                                                  const sql_column_kinds* columns) {
    return sql_rewrite_view_code(text, columns);
}

std::wstring sql_view_converter::brackets_to_backquotes(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 8);
    wchar_t quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
            out += c;
            continue;
        }
        if (c == L'\'' || c == L'"') {
            quote = c;
            out += c;
            continue;
        }
        if (c == L']') {
            // A stray closing bracket, as the plain replacement would have it.
            out += L'`';
            continue;
        }
        if (c != L'[') {
            out += c;
            continue;
        }
        out += L'`';
        std::size_t k = i + 1;
        for (; k < text.size(); ++k) {
            const wchar_t n = text[k];
            if (n == L']') {
                if (k + 1 < text.size() && text[k + 1] == L']') {
                    out += L']';
                    ++k;
                    continue;
                }
                break;
            }
            if (n == L'`') {
                out += L'`';
            }
            out += n;
        }
        out += L'`';
        i = k; // the closing bracket, or the end of an unclosed name
    }
    return out;
}

namespace {

// The text with MySQL's names: joined lines, mapped names, backquotes.
std::wstring with_mysql_names(const std::wstring& text, udb_names_map* names) {
    std::wstring result = sql_view_converter::normalize_spaces(text);
    if (names != nullptr) {
        result = names->do_global_replace1(result, L"`", L"`");
    }
    tk_log_wmessage(2, L"After do_global_replace: result=%ls", result.c_str());
    result = sql_view_converter::brackets_to_backquotes(result);
    tk_log_wmessage(2, L"After replacing []: result=%ls", result.c_str());
    return result;
}

} // namespace

std::wstring sql_view_converter::refine_view_in(const std::wstring& text, udb_names_map* names,
                                                const sql_column_kinds* columns) {
    return rename_functions(with_mysql_names(text, names), columns) + L";";
}

std::wstring sql_view_converter::refine_view_out(const std::wstring& text,
                                                 const std::wstring& db_name) {
    std::wstring result = text;
    const std::size_t open = result.find(L"/*");
    const std::size_t close = result.find(L"*/");
    if (open != std::wstring::npos && close != std::wstring::npos) {
        // The count is taken as unsigned: a "*/" well before the "/*" cuts the rest.
        const std::size_t count = close - open + 2;
        result.erase(open, count);
    }
    std::wstring qualifier = L"`";
    for (wchar_t c : db_name) {
        if (c == L'`') {
            qualifier += L'`';
        }
        qualifier += c;
    }
    qualifier += L"`.";
    // The database name may hold any letters, so compare as names are compared.
    std::size_t pos = 0;
    while (pos + qualifier.size() <= result.size()) {
        if (!udb_equal_no_case(std::wstring_view(result).substr(pos, qualifier.size()),
                               qualifier)) {
            ++pos;
            continue;
        }
        tk_log_message(1, "Remove template found at pos=%d", static_cast<int>(pos));
        result.erase(pos, qualifier.size());
        pos = 0;
    }
    return result;
}

std::wstring sql_mysql_reading_fault(std::wstring_view text) {
    // What MySQL reads as code, with each literal and name in a form the single-SELECT check
    // reads alike: that check then judges the words and ";" MySQL would run.
    std::wstring code;
    code.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const wchar_t c = text[i];
        const wchar_t next = i + 1 < text.size() ? text[i + 1] : L'\0';
        if (c == L'\'' || c == L'"' || c == L'`') {
            std::size_t k = i + 1;
            for (; k < text.size(); ++k) {
                if (c != L'`' && text[k] == L'\\') {
                    ++k;
                } else if (text[k] == c) {
                    if (k + 1 < text.size() && text[k + 1] == c) {
                        ++k;
                        continue;
                    }
                    break;
                }
            }
            if (k >= text.size()) {
                return c == L'`' ? L"it holds an unclosed quoted name"
                                 : L"it holds an unclosed literal";
            }
            code += c == L'`' ? L"[n]" : L"''";
            i = k + 1;
            continue;
        }
        if (c == L'#' || (c == L'/' && next == L'*')) {
            return L"it holds a comment";
        }
        if (c == L'-' && next == L'-') {
            const wchar_t after = i + 2 < text.size() ? text[i + 2] : L' ';
            if (after <= L' ') {
                return L"it holds a comment";
            }
            code += L"- -"; // two minus signs to MySQL
            i += 2;
            continue;
        }
        code += c;
        ++i;
    }
    return udb_single_select_fault(code);
}

std::wstring sql_view_text_for_mysql(const std::wstring& text, udb_names_map* names,
                                     const sql_view_target& target) {
    const std::wstring fault = udb_single_select_fault(text);
    if (!fault.empty()) {
        throw tk_exception(L"The view text is not a single SELECT statement: " + fault, 0);
    }
    // T-SQL and MySQL read comments differently (nesting, the end of a "--" line, the /*! */
    // that MySQL runs): without them both read the same statement.
    std::wstring body = udb_without_comments(text);
    // The statement's own ";" closes it; one more would be an empty statement.
    while (!body.empty() && (is_space(body.back()) || body.back() == L';')) {
        body.pop_back();
    }
    body = trim_spaces(body);
    if (!target.takes_ctes && find_no_case(body, L"with", 0) == 0) {
        throw tk_exception(L"The view begins with WITH, which only MySQL 8.0 and MariaDB 10.2 and "
                           L"later take in a view",
                           0);
    }
    // What MySQL would read otherwise is said as such before the code is rewritten.
    const std::wstring named = with_mysql_names(body, names);
    std::wstring reading = sql_mysql_reading_fault(named);
    if (!reading.empty()) {
        throw tk_exception(L"The view text reads otherwise in MySQL: " + reading, 0);
    }
    const std::wstring refined = sql_view_converter::rename_functions(named, target.columns) + L";";
    reading = sql_mysql_reading_fault(refined);
    if (!reading.empty()) {
        throw tk_exception(L"The view text reads otherwise in MySQL: " + reading, 0);
    }
    // A view of another database would hand its rows to whoever may read the view.
    const std::wstring outside = sql_foreign_qualifier_fault(refined, target.database);
    if (!outside.empty()) {
        throw tk_exception(L"The view reaches outside the destination database: " + outside, 0);
    }
    return refined;
}
