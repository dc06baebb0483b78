// Checks of the type-mapping texts.
#include "SQL/sql_tchk.h"

#include "TK/tk_utils.h"

#include <cwctype>
#include <string>
#include <utility>

namespace {

constexpr std::wstring_view type_names[] = {
    L"BIT",
    L"TINYINT",
    L"SMALLINT",
    L"MEDIUMINT",
    L"INT",
    L"INTEGER",
    L"BIGINT",
    L"BOOL",
    L"BOOLEAN",
    L"SERIAL",
    L"DECIMAL",
    L"DEC",
    L"NUMERIC",
    L"FIXED",
    L"FLOAT",
    L"DOUBLE",
    L"REAL",
    L"DATE",
    L"DATETIME",
    L"TIMESTAMP",
    L"TIME",
    L"YEAR",
    L"CHAR",
    L"VARCHAR",
    L"NCHAR",
    L"NVARCHAR",
    L"BINARY",
    L"VARBINARY",
    L"TINYBLOB",
    L"BLOB",
    L"MEDIUMBLOB",
    L"LONGBLOB",
    L"TINYTEXT",
    L"TEXT",
    L"MEDIUMTEXT",
    L"LONGTEXT",
    L"JSON",
    L"GEOMETRY",
    L"POINT",
    L"LINESTRING",
    L"POLYGON",
    L"MULTIPOINT",
    L"MULTILINESTRING",
    L"MULTIPOLYGON",
    L"GEOMETRYCOLLECTION",
    L"UUID",
    L"INET4",
    L"INET6",
    L"CHARACTER",
    L"LONG",
};

// Words that may follow a first word to form one type name.
constexpr std::pair<std::wstring_view, std::wstring_view> two_word_names[] = {
    {L"DOUBLE", L"PRECISION"}, {L"CHARACTER", L"VARYING"},  {L"NATIONAL", L"CHAR"},
    {L"NATIONAL", L"VARCHAR"}, {L"NATIONAL", L"CHARACTER"}, {L"LONG", L"VARCHAR"},
};

constexpr std::wstring_view type_attributes[] = {L"SIGNED", L"UNSIGNED", L"ZEROFILL"};

constexpr std::wstring_view current_time_functions[] = {
    L"CURRENT_TIMESTAMP", L"CURRENT_DATE", L"CURRENT_TIME", L"LOCALTIME",
    L"LOCALTIMESTAMP",    L"NOW",          L"SYSDATE",      L"UTC_TIMESTAMP",
    L"GETDATE",           L"GETUTCDATE",   L"SYSDATETIME",  L"NEWID",
};

template <std::size_t N> bool one_of(const std::wstring& word, const std::wstring_view (&list)[N]) {
    for (std::wstring_view entry : list)
        if (word == entry)
            return true;
    return false;
}

// A forward-only reader of one short text.
struct cursor {
    std::wstring_view s;
    std::size_t at = 0;

    bool done() const { return at >= s.size(); }
    void skip_blanks() {
        while (!done() && (s[at] == L' ' || s[at] == L'\t'))
            ++at;
    }
    bool accept(wchar_t c) {
        skip_blanks();
        if (done() || s[at] != c)
            return false;
        ++at;
        return true;
    }
    // A word of ASCII letters, digits and underscores, in upper case; empty when none.
    std::wstring word() {
        skip_blanks();
        std::wstring out;
        while (!done() && s[at] < 0x80 &&
               (std::iswalnum(static_cast<wint_t>(s[at])) || s[at] == L'_'))
            out.push_back(tk_ascii_upper(s[at++]));
        return out;
    }
    bool digits() {
        skip_blanks();
        const std::size_t from = at;
        while (!done() && s[at] >= L'0' && s[at] <= L'9')
            ++at;
        return at > from;
    }
    // "(" digits ["," digits] ")", or nothing at all.
    bool numeric_arguments() {
        if (!accept(L'('))
            return true;
        if (!digits())
            return false;
        if (accept(L',') && !digits())
            return false;
        return accept(L')');
    }
};

// The text without blanks around it and without parentheses that enclose all of it.
std::wstring_view unwrapped(std::wstring_view text) {
    for (;;) {
        while (!text.empty() && (text.front() == L' ' || text.front() == L'\t'))
            text.remove_prefix(1);
        while (!text.empty() && (text.back() == L' ' || text.back() == L'\t'))
            text.remove_suffix(1);
        if (text.size() < 2 || text.front() != L'(' || text.back() != L')')
            return text;
        // The first "(" must close at the very end, not earlier as in "(1)+(2)".
        std::size_t depth = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == L'(')
                ++depth;
            else if (text[i] == L')' && --depth == 0 && i + 1 < text.size())
                return text;
        }
        text = text.substr(1, text.size() - 2);
    }
}

bool is_number(std::wstring_view text) {
    cursor c{text};
    if (!c.done() && (text[0] == L'+' || text[0] == L'-'))
        ++c.at;
    const bool whole = c.digits();
    bool fraction = false;
    if (!c.done() && text[c.at] == L'.') {
        ++c.at;
        fraction = c.digits();
    }
    if (!whole && !fraction)
        return false;
    if (!c.done() && (text[c.at] == L'e' || text[c.at] == L'E')) {
        ++c.at;
        if (!c.done() && (text[c.at] == L'+' || text[c.at] == L'-'))
            ++c.at;
        if (!c.digits())
            return false;
    }
    return c.done();
}

bool is_quoted_string(std::wstring_view text) {
    if (text.size() < 2 || (text[0] != L'\'' && text[0] != L'"') || text.back() != text[0])
        return false;
    const wchar_t quote = text[0];
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] != quote)
            continue;
        if (i + 2 < text.size() && text[i + 1] == quote)
            ++i;
        else
            return false;
    }
    return true;
}

bool is_current_time(std::wstring_view text) {
    cursor c{text};
    if (!one_of(c.word(), current_time_functions))
        return false;
    if (c.accept(L'(')) {
        c.digits();
        if (!c.accept(L')'))
            return false;
    }
    c.skip_blanks();
    return c.done();
}

} // namespace

bool sql_is_mapped_type(std::wstring_view type) {
    cursor c{type};
    const std::wstring first = c.word();
    const std::size_t after_first = c.at;
    const std::wstring second = c.word();
    bool paired = false;
    for (const auto& [one, two] : two_word_names)
        paired = paired || (first == one && second == two);
    if (!paired) {
        if (!one_of(first, type_names))
            return false;
        c.at = after_first;
    }
    if (!c.numeric_arguments())
        return false;
    for (std::wstring word = c.word(); !word.empty(); word = c.word())
        if (!one_of(word, type_attributes))
            return false;
    c.skip_blanks();
    return c.done();
}

bool sql_is_mapped_default(std::wstring_view value) {
    const std::wstring_view text = unwrapped(value);
    if (text.empty() || is_number(text) || is_quoted_string(text) || is_current_time(text))
        return true;
    cursor c{text};
    return c.word() == L"NULL" && (c.skip_blanks(), c.done());
}
