// Table names in view texts.
#include "converter/vlm_vnam.h"

#include "MSS/mss_tnam.h"
#include "UDB/udb_util.h"

#include <cwctype>
#include <string_view>

namespace {

struct name_forms {
    std::wstring replacement;
    std::vector<std::wstring> written; // the longer forms first
    std::size_t qualified = 0;         // the first `qualified` forms name the owner
};

// A character that continues a name, or joins it to a qualifier before it.
bool joins_before(wchar_t c) {
    return std::iswalnum(static_cast<wint_t>(c)) != 0 || c == L'_' || c == L'.' || c == L'@' ||
           c == L'#' || c == L'$';
}

bool continues_after(wchar_t c) {
    return std::iswalnum(static_cast<wint_t>(c)) != 0 || c == L'_' || c == L'@' || c == L'#' ||
           c == L'$';
}

std::vector<name_forms> forms_of(const std::vector<vlm_table_rename>& tables,
                                 const std::wstring& default_owner) {
    std::vector<name_forms> all;
    for (const auto& [canonical, destination] : tables) {
        std::wstring owner;
        std::wstring table;
        if (!mss_parse_tab_name(canonical, owner, table)) {
            continue;
        }
        name_forms forms{mss_format_tab_name({}, destination), {canonical}};
        if (!owner.empty()) {
            // T-SQL brackets either part alone as well: dbo.[Order Details], [dbo].Orders.
            forms.written.push_back(owner + L"." + table);
            forms.written.push_back(owner + L"." + mss_format_tab_name({}, table));
            forms.written.push_back(mss_format_tab_name({}, owner) + L"." + table);
        }
        forms.qualified = forms.written.size();
        if (owner.empty() || udb_equal_no_case(owner, default_owner)) {
            forms.written.push_back(mss_format_tab_name({}, table));
            forms.written.push_back(table);
        }
        all.push_back(std::move(forms));
    }
    return all;
}

bool is_word_char(wchar_t c) {
    return std::iswalnum(static_cast<wint_t>(c)) != 0 || c == L'_';
}

// The word that ends just before `end`, blanks before it skipped; `end` moves to its start.
std::wstring_view word_before(const std::wstring& text, std::size_t& end) {
    while (end > 0 && std::iswspace(static_cast<wint_t>(text[end - 1])) != 0) {
        --end;
    }
    const std::size_t stop = end;
    while (end > 0 && is_word_char(text[end - 1])) {
        --end;
    }
    return std::wstring_view(text).substr(end, stop - end);
}

bool is_table_keyword(std::wstring_view word) {
    return udb_equal_no_case(word, L"FROM") || udb_equal_no_case(word, L"JOIN") ||
           udb_equal_no_case(word, L"APPLY");
}

// Whether a list item at `at` belongs to a FROM list: the nearest clause keyword before it at
// the same bracket depth.
bool in_table_list(const std::wstring& text, std::size_t at) {
    while (at > 0) {
        const std::wstring_view word = word_before(text, at);
        if (word.empty()) {
            --at;
            if (text[at] == L'(') {
                return false;
            }
            for (int depth = text[at] == L')' ? 1 : 0; depth > 0 && at > 0;) {
                --at;
                depth += text[at] == L')' ? 1 : text[at] == L'(' ? -1 : 0;
            }
            continue;
        }
        if (is_table_keyword(word)) {
            return true;
        }
        for (const wchar_t* clause :
             {L"SELECT", L"WHERE", L"ON", L"BY", L"HAVING", L"UNION", L"SET", L"VALUES"}) {
            if (udb_equal_no_case(word, clause)) {
                return false;
            }
        }
    }
    return false;
}

// A name without its owner is also a column's or an alias's name; it stands for the table only
// when it qualifies a column or stands where a table does.
bool bare_name_is_table(const std::wstring& text, std::size_t at, std::size_t end) {
    if (end < text.size() && text[end] == L'.') {
        return true;
    }
    std::size_t before = at;
    const std::wstring_view word = word_before(text, before);
    if (!word.empty()) {
        return is_table_keyword(word);
    }
    return before > 0 && text[before - 1] == L',' && in_table_list(text, before - 1);
}

// The table whose reference begins at `at`, and the reference's length, if any.
const name_forms* match_at(const std::wstring& text, std::size_t at,
                           const std::vector<name_forms>& all, std::size_t& length) {
    if (at > 0 && joins_before(text[at - 1])) {
        return nullptr;
    }
    const name_forms* best = nullptr;
    length = 0;
    for (const name_forms& forms : all) {
        for (std::size_t f = 0; f < forms.written.size(); ++f) {
            const std::wstring& form = forms.written[f];
            if (form.size() <= length || at + form.size() > text.size()) {
                continue;
            }
            const std::size_t end = at + form.size();
            if (end < text.size() && continues_after(text[end])) {
                continue;
            }
            if (udb_equal_no_case(std::wstring_view(text).substr(at, form.size()), form) &&
                (f < forms.qualified || bare_name_is_table(text, at, end))) {
                best = &forms;
                length = form.size();
            }
        }
    }
    return best;
}

// Where the literal or quoted name that opens at `at` ends (behind its closing character).
std::size_t skip_quoted(const std::wstring& text, std::size_t at) {
    const wchar_t close = text[at] == L'[' ? L']' : text[at];
    std::size_t i = at + 1;
    while (i < text.size()) {
        if (text[i] == close) {
            if (i + 1 < text.size() && text[i + 1] == close) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return text.size();
}

} // namespace

std::wstring vlm_rename_view_tables(const std::wstring& text,
                                    const std::vector<vlm_table_rename>& tables,
                                    const std::wstring& default_owner) {
    const std::vector<name_forms> all = forms_of(tables, default_owner);
    std::wstring out;
    out.reserve(text.size() + 16);
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = 0;
        if (const name_forms* forms = match_at(text, i, all, length)) {
            out += forms->replacement;
            i += length;
            continue;
        }
        const wchar_t c = text[i];
        if (c == L'\'' || c == L'"' || c == L'`' || c == L'[') {
            const std::size_t end = skip_quoted(text, i);
            out.append(text, i, end - i);
            i = end;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}
