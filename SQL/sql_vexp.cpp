// The code of a view text, read as tokens.
#include "SQL/sql_vexp.h"

#include "TK/tk_excep.h"

#include <algorithm>
#include <cstddef>
#include <set>
#include <vector>

namespace {

enum class tok { space, word, name, text, dquote, number, op, open, close, comma, dot };

struct token {
    tok kind;
    std::wstring text;
};

wchar_t ascii_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}

std::wstring lower(std::wstring_view s) {
    std::wstring out(s);
    std::transform(out.begin(), out.end(), out.begin(), ascii_lower);
    return out;
}

bool is_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// MySQL takes every character beyond ASCII into a name.
bool is_word_char(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || is_digit(c) || c == L'_' ||
           c == L'$' || c >= 0x80;
}

bool is_space(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

[[noreturn]] void refuse(const std::wstring& why) {
    throw tk_exception(L"The view cannot be carried over to MySQL: " + why, 0);
}

// The end of the quoted text that opens at `at`, as MySQL reads it (a doubled quote, and in a
// literal a backslash escape, stay inside).
std::size_t quoted_end(std::wstring_view s, std::size_t at) {
    const wchar_t q = s[at];
    for (std::size_t k = at + 1; k < s.size(); ++k) {
        if (q != L'`' && s[k] == L'\\') {
            ++k;
        } else if (s[k] == q) {
            if (k + 1 < s.size() && s[k + 1] == q) {
                ++k;
                continue;
            }
            return k + 1;
        }
    }
    refuse(q == L'`' ? L"it holds an unclosed quoted name" : L"it holds an unclosed literal");
}

std::size_t number_end(std::wstring_view s, std::size_t i) {
    if (s[i] == L'0' && i + 1 < s.size() && (s[i + 1] == L'x' || s[i + 1] == L'X')) {
        i += 2;
        while (i < s.size() && is_word_char(s[i])) {
            ++i;
        }
        return i;
    }
    while (i < s.size() && is_digit(s[i])) {
        ++i;
    }
    if (i < s.size() && s[i] == L'.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) {
            ++i;
        }
    }
    if (i + 1 < s.size() && (s[i] == L'e' || s[i] == L'E') &&
        (is_digit(s[i + 1]) ||
         ((s[i + 1] == L'+' || s[i + 1] == L'-') && i + 2 < s.size() && is_digit(s[i + 2])))) {
        i += 2;
        while (i < s.size() && is_digit(s[i])) {
            ++i;
        }
    }
    return i;
}

// Whether a number's text is a hex literal to MySQL when it begins with "0x": hex digits only,
// at least one.
bool is_hex_literal(std::wstring_view number) {
    if (number.size() < 2 || number[0] != L'0' || (number[1] != L'x' && number[1] != L'X')) {
        return true;
    }
    return number.size() > 2 && std::all_of(number.begin() + 2, number.end(), [](wchar_t c) {
               return is_digit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
           });
}

std::vector<token> tokenize(std::wstring_view s) {
    static constexpr std::wstring_view long_ops[] = {L"<=>", L"->>", L"<=", L">=", L"<>",
                                                     L"!=",  L"!<",  L"!>", L"||", L"&&",
                                                     L":=",  L"<<",  L">>", L"->", L"::"};
    std::vector<token> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const wchar_t c = s[i];
        const wchar_t next = i + 1 < s.size() ? s[i + 1] : L'\0';
        std::size_t end = i + 1;
        tok kind = tok::op;
        if (is_space(c)) {
            while (end < s.size() && is_space(s[end])) {
                ++end;
            }
            kind = tok::space;
        } else if (c == L'\'' || c == L'"' || c == L'`') {
            end = quoted_end(s, i);
            kind = c == L'\'' ? tok::text : c == L'"' ? tok::dquote : tok::name;
        } else if ((c == L'N' || c == L'n') && next == L'\'') {
            end = quoted_end(s, i + 1);
            kind = tok::text;
        } else if (is_digit(c) || (c == L'.' && is_digit(next))) {
            end = number_end(s, i);
            kind = tok::number;
            if (!is_hex_literal(s.substr(i, end - i))) {
                // MySQL reads "0x" followed by anything but hex digits as a name ("0xzz.t").
                kind = tok::word;
            } else if (end < s.size() && is_word_char(s[end])) {
                // MySQL takes a name that begins with digits.
                while (end < s.size() && is_word_char(s[end])) {
                    ++end;
                }
                kind = tok::word;
            }
        } else if (is_word_char(c)) {
            while (end < s.size() && is_word_char(s[end])) {
                ++end;
            }
            kind = tok::word;
        } else if (c == L'(') {
            kind = tok::open;
        } else if (c == L')') {
            kind = tok::close;
        } else if (c == L',') {
            kind = tok::comma;
        } else if (c == L'.') {
            kind = tok::dot;
        } else {
            for (std::wstring_view op : long_ops) {
                if (s.substr(i, op.size()) == op) {
                    end = i + op.size();
                    break;
                }
            }
        }
        out.push_back({kind, std::wstring(s.substr(i, end - i))});
        i = end;
    }
    return out;
}

std::wstring unquote(const token& t) {
    if (t.kind != tok::name && t.kind != tok::dquote) {
        return t.text;
    }
    const wchar_t q = t.text.front();
    std::wstring out;
    for (std::size_t k = 1; k + 1 < t.text.size(); ++k) {
        out += t.text[k];
        if (t.text[k] == q) {
            ++k;
        }
    }
    return out;
}

bool in_list(std::wstring_view word, std::initializer_list<std::wstring_view> list) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// Words of the SELECT grammar that the rewriting carries as they are: they end an expression.
bool is_keyword(std::wstring_view w) {
    return in_list(w,
                   {L"select", L"distinct", L"all",   L"from",   L"where",     L"group", L"by",
                    L"having", L"order",    L"asc",   L"desc",   L"as",        L"and",   L"or",
                    L"not",    L"on",       L"join",  L"inner",  L"left",      L"right", L"outer",
                    L"cross",  L"full",     L"union", L"except", L"intersect", L"when",  L"then",
                    L"else",   L"end",      L"is",    L"in",     L"between",   L"like",  L"escape",
                    L"exists", L"any",      L"some",  L"case",   L"null",      L"with"});
}

// Words that begin what MySQL does not read as SQL Server does, or cannot read at all.
bool is_foreign_word(std::wstring_view w) {
    return in_list(w,
                   {L"top",           L"percent",       L"ties",          L"apply",    L"pivot",
                    L"unpivot",       L"tablesample",   L"collate",       L"for",      L"option",
                    L"offset",        L"fetch",         L"output",        L"nolock",   L"over",
                    L"within",        L"rollup",        L"cube",          L"openxml",  L"contains",
                    L"freetext",      L"containstable", L"freetexttable", L"into",     L"natural",
                    L"straight_join", L"limit",         L"regexp",        L"rlike",    L"div",
                    L"mod",           L"xor",           L"binary",        L"interval", L"sounds"});
}

bool is_numeric(sql_value_kind k) {
    return k == sql_value_kind::integer || k == sql_value_kind::exact ||
           k == sql_value_kind::approximate;
}

// The kind of an arithmetic result of two numbers (or NULL).
sql_value_kind numeric_result(sql_value_kind a, sql_value_kind b) {
    if (a == sql_value_kind::null) {
        return b;
    }
    if (b == sql_value_kind::null) {
        return a;
    }
    if (a == sql_value_kind::approximate || b == sql_value_kind::approximate) {
        return sql_value_kind::approximate;
    }
    if (a == sql_value_kind::exact || b == sql_value_kind::exact) {
        return sql_value_kind::exact;
    }
    return sql_value_kind::integer;
}

// One parenthesis level of the text: a group holds the level inside its parentheses.
struct node {
    token tok;
    std::vector<node> inner;
};

std::vector<node> build_tree(const std::vector<token>& tokens) {
    std::vector<std::vector<node>> stack(1);
    for (const token& t : tokens) {
        if (t.kind == tok::open) {
            stack.emplace_back();
        } else if (t.kind == tok::close) {
            if (stack.size() == 1) {
                refuse(L"a \")\" closes no parenthesis");
            }
            std::vector<node> inner = std::move(stack.back());
            stack.pop_back();
            stack.back().push_back({{tok::open, L"("}, std::move(inner)});
        } else {
            stack.back().push_back({t, {}});
        }
    }
    if (stack.size() != 1) {
        refuse(L"a \"(\" is not closed");
    }
    return std::move(stack.front());
}

// A name of the text as MySQL reads it: its parts, whether it stands where a table is named
// (after FROM, JOIN, or a comma of a FROM list), and whether it is called.
struct name_use {
    std::vector<token> parts;
    bool table_position = false;
    bool call = false;
};

bool starts_name(const token& t) {
    return (t.kind == tok::word && !is_keyword(lower(t.text))) || t.kind == tok::name ||
           t.kind == tok::dquote;
}

std::vector<name_use> find_names(const std::vector<token>& all, bool& derived_table) {
    std::vector<token> sig;
    for (const token& t : all) {
        if (t.kind != tok::space) {
            sig.push_back(t);
        }
    }
    std::vector<name_use> uses;
    std::vector<bool> from_list(1, false);
    const token* prev = nullptr;
    auto table_position = [&]() {
        if (prev == nullptr) {
            return false;
        }
        if (prev->kind == tok::word) {
            // MySQL 8 takes "TABLE t" for "SELECT * FROM t", a subquery included.
            return in_list(lower(prev->text), {L"from", L"join", L"straight_join", L"table"});
        }
        return (prev->kind == tok::comma || prev->kind == tok::open) && from_list.back();
    };
    for (std::size_t k = 0; k < sig.size(); ++k) {
        const token& t = sig[k];
        if (t.kind == tok::open) {
            const bool tp = table_position();
            // A table list in parentheses goes on naming tables; a subquery resets at SELECT.
            from_list.push_back(tp);
            if (tp && k + 1 < sig.size() && lower(sig[k + 1].text) == L"select") {
                derived_table = true;
            }
        } else if (t.kind == tok::close) {
            if (from_list.size() > 1) {
                from_list.pop_back();
            }
        } else if (t.kind == tok::word && is_keyword(lower(t.text)) &&
                   !(k + 1 < sig.size() && sig[k + 1].kind == tok::dot)) {
            const std::wstring w = lower(t.text);
            if (w == L"select") {
                from_list.back() = false;
            } else if (w == L"from") {
                from_list.back() = true;
            } else if (in_list(w, {L"where", L"group", L"having", L"order", L"union", L"except",
                                   L"intersect"})) {
                from_list.back() = false;
            }
        } else if (starts_name(t) || t.kind == tok::word ||
                   (t.kind == tok::dot && k + 1 < sig.size() && starts_name(sig[k + 1]))) {
            // A word before a "." is a name to MySQL even where it is a word of the grammar:
            // END, FULL, ESCAPE and others are not reserved and so may name a database.
            name_use use;
            use.table_position = table_position();
            std::size_t j = k;
            if (t.kind == tok::dot) {
                use.parts.push_back({tok::name, L"``"}); // the current database
            } else {
                use.parts.push_back(t);
                ++j;
            }
            while (j + 1 < sig.size() && sig[j].kind == tok::dot &&
                   (starts_name(sig[j + 1]) || sig[j + 1].kind == tok::word ||
                    sig[j + 1].text == L"*")) {
                use.parts.push_back(sig[j + 1]);
                j += 2;
            }
            use.call = j < sig.size() && sig[j].kind == tok::open;
            uses.push_back(std::move(use));
            k = j - 1;
            prev = &sig[k];
            continue;
        }
        prev = &t;
    }
    return uses;
}

struct operand {
    std::wstring text;
    sql_value_kind kind = sql_value_kind::unknown;
};

// One piece of an arithmetic expression: an operand or a binary operator, with the blanks
// before it.
struct piece {
    std::wstring pre;
    std::wstring text;
    sql_value_kind kind = sql_value_kind::unknown;
    bool is_operator = false;
};

std::wstring join_pieces(const std::vector<piece>& pieces, std::size_t from, std::size_t to,
                         bool drop_first_pre) {
    std::wstring out;
    for (std::size_t i = from; i < to; ++i) {
        if (!(drop_first_pre && i == from)) {
            out += pieces[i].pre;
        }
        out += pieces[i].text;
    }
    return out;
}

class view_rewriter {
public:
    view_rewriter(const sql_column_kinds* columns, const std::vector<name_use>& names,
                  bool derived_table, const std::vector<token>& tokens)
        : columns_(columns), unknown_source_(derived_table) {
        for (const name_use& use : names) {
            if (!use.table_position || use.call) {
                continue;
            }
            const std::wstring table = lower(unquote(use.parts.back()));
            if (columns_ != nullptr && columns_->count(table) != 0) {
                scope_.insert(table);
            } else {
                unknown_source_ = true; // another view, or a table of unknown columns
            }
        }
        for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
            if (tokens[i].kind == tok::word && lower(tokens[i].text) == L"as") {
                std::size_t j = i + 1;
                while (j < tokens.size() && tokens[j].kind == tok::space) {
                    ++j;
                }
                if (j < tokens.size()) {
                    declared_.insert(lower(unquote(tokens[j])));
                }
            }
        }
    }

    // The rewritten text of items [b, e) of one level, and its kind when it is one expression.
    operand level(const std::vector<node>& items, std::size_t b, std::size_t e);

private:
    operand parse_operand(const std::vector<node>& items, std::size_t& i, std::size_t e);
    operand call(const std::wstring& fn, const token& name, const node& group);
    operand cast(const std::vector<node>& expr_items, std::size_t eb, std::size_t ee,
                 const std::vector<node>& type_items, std::size_t tb, std::size_t te);
    std::vector<operand> arguments(const node& group);
    sql_value_kind column_kind(const std::vector<token>& parts) const;
    std::wstring flush(std::vector<piece>& pieces, sql_value_kind& kind);

    const sql_column_kinds* columns_;
    std::set<std::wstring> scope_;
    std::set<std::wstring> declared_;
    bool unknown_source_;
};

sql_value_kind view_rewriter::column_kind(const std::vector<token>& parts) const {
    const std::wstring column = lower(unquote(parts.back()));
    if (columns_ == nullptr || parts.back().text == L"*" || declared_.count(column) != 0) {
        return sql_value_kind::unknown;
    }
    if (parts.size() >= 2) {
        const std::wstring table = lower(unquote(parts[parts.size() - 2]));
        if (scope_.count(table) != 0 && declared_.count(table) == 0) {
            const auto& cols = columns_->at(table);
            const auto it = cols.find(column);
            return it == cols.end() ? sql_value_kind::unknown : it->second;
        }
    }
    if (unknown_source_) {
        return sql_value_kind::unknown;
    }
    // Named by an alias or not at all: every table of the view that has such a column must
    // agree.
    sql_value_kind found = sql_value_kind::unknown;
    bool any = false;
    for (const std::wstring& table : scope_) {
        const auto& cols = columns_->at(table);
        const auto it = cols.find(column);
        if (it == cols.end()) {
            continue;
        }
        if (any && it->second != found) {
            return sql_value_kind::unknown;
        }
        found = it->second;
        any = true;
    }
    return found;
}

std::vector<operand> view_rewriter::arguments(const node& group) {
    std::vector<operand> args;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= group.inner.size(); ++i) {
        if (i == group.inner.size() || group.inner[i].tok.kind == tok::comma) {
            args.push_back(level(group.inner, start, i));
            start = i + 1;
        }
    }
    if (args.size() == 1 && args[0].text.find_first_not_of(L" ") == std::wstring::npos) {
        args.clear();
    }
    return args;
}

std::wstring trimmed(const std::wstring& s) {
    const std::size_t b = s.find_first_not_of(L' ');
    if (b == std::wstring::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(L' ') - b + 1);
}

// A date part of DATEADD and DATEDIFF as MySQL's TIMESTAMPADD spells it, or empty.
std::wstring mysql_unit(const std::wstring& tsql_unit) {
    static const std::pair<std::wstring_view, std::wstring_view> units[] = {
        {L"year", L"YEAR"},       {L"yy", L"YEAR"},    {L"yyyy", L"YEAR"},
        {L"quarter", L"QUARTER"}, {L"qq", L"QUARTER"}, {L"q", L"QUARTER"},
        {L"month", L"MONTH"},     {L"mm", L"MONTH"},   {L"m", L"MONTH"},
        {L"dayofyear", L"DAY"},   {L"dy", L"DAY"},     {L"y", L"DAY"},
        {L"day", L"DAY"},         {L"dd", L"DAY"},     {L"d", L"DAY"},
        {L"weekday", L"DAY"},     {L"dw", L"DAY"},     {L"w", L"DAY"},
        {L"week", L"WEEK"},       {L"wk", L"WEEK"},    {L"ww", L"WEEK"},
        {L"hour", L"HOUR"},       {L"hh", L"HOUR"},    {L"minute", L"MINUTE"},
        {L"mi", L"MINUTE"},       {L"n", L"MINUTE"},   {L"second", L"SECOND"},
        {L"ss", L"SECOND"},       {L"s", L"SECOND"},   {L"microsecond", L"MICROSECOND"},
        {L"mcs", L"MICROSECOND"}};
    const std::wstring u = lower(trimmed(tsql_unit));
    for (const auto& [tsql, mysql] : units) {
        if (u == tsql) {
            return std::wstring(mysql);
        }
    }
    return {};
}

struct function_rule {
    std::wstring_view tsql;
    int min_args;
    int max_args;
    std::wstring_view mysql;
    sql_value_kind kind; // unknown: the kind of the first argument
};

// Functions MySQL computes as SQL Server does, under the same name or another.
const function_rule* find_rule(const std::wstring& fn) {
    using k = sql_value_kind;
    static const function_rule rules[] = {
        {L"abs", 1, 1, L"abs", k::unknown},
        {L"ceiling", 1, 1, L"ceiling", k::unknown},
        {L"floor", 1, 1, L"floor", k::unknown},
        {L"sign", 1, 1, L"sign", k::unknown},
        {L"round", 2, 2, L"round", k::unknown},
        {L"sqrt", 1, 1, L"sqrt", k::approximate},
        {L"exp", 1, 1, L"exp", k::approximate},
        {L"log10", 1, 1, L"log10", k::approximate},
        {L"pi", 0, 0, L"pi", k::approximate},
        {L"sin", 1, 1, L"sin", k::approximate},
        {L"cos", 1, 1, L"cos", k::approximate},
        {L"tan", 1, 1, L"tan", k::approximate},
        {L"asin", 1, 1, L"asin", k::approximate},
        {L"acos", 1, 1, L"acos", k::approximate},
        {L"atan", 1, 1, L"atan", k::approximate},
        {L"upper", 1, 1, L"upper", k::text},
        {L"lower", 1, 1, L"lower", k::text},
        {L"ltrim", 1, 1, L"ltrim", k::text},
        {L"rtrim", 1, 1, L"rtrim", k::text},
        {L"reverse", 1, 1, L"reverse", k::text},
        {L"left", 2, 2, L"left", k::text},
        {L"right", 2, 2, L"right", k::text},
        {L"replicate", 2, 2, L"repeat", k::text},
        {L"substring", 3, 3, L"substring", k::text},
        {L"nullif", 2, 2, L"nullif", k::unknown},
        {L"isnull", 2, 2, L"ifnull", k::unknown},
        {L"coalesce", 1, 255, L"coalesce", k::unknown},
        {L"year", 1, 1, L"year", k::integer},
        {L"month", 1, 1, L"month", k::integer},
        {L"day", 1, 1, L"day", k::integer},
        {L"getdate", 0, 0, L"now", k::temporal},
        {L"count", 1, 1, L"count", k::integer},
        {L"sum", 1, 1, L"sum", k::unknown},
        {L"min", 1, 1, L"min", k::unknown},
        {L"max", 1, 1, L"max", k::unknown},
        {L"ascii", 1, 1, L"ascii", k::integer},
    };
    for (const function_rule& r : rules) {
        if (r.tsql == fn) {
            return &r;
        }
    }
    return nullptr;
}

operand view_rewriter::call(const std::wstring& fn, const token& name, const node& group) {
    if (fn == L"cast") {
        std::size_t as = group.inner.size();
        for (std::size_t i = 0; i < group.inner.size(); ++i) {
            if (group.inner[i].tok.kind == tok::word && lower(group.inner[i].tok.text) == L"as") {
                as = i;
            }
        }
        if (as == group.inner.size()) {
            refuse(L"a CAST has no AS");
        }
        return cast(group.inner, 0, as, group.inner, as + 1, group.inner.size());
    }
    if (fn == L"convert") {
        std::vector<std::size_t> commas;
        for (std::size_t i = 0; i < group.inner.size(); ++i) {
            if (group.inner[i].tok.kind == tok::comma) {
                commas.push_back(i);
            }
        }
        if (commas.size() != 1) {
            refuse(L"a CONVERT with a style, which MySQL does not take");
        }
        return cast(group.inner, commas[0] + 1, group.inner.size(), group.inner, 0, commas[0]);
    }
    const std::vector<operand> args = arguments(group);
    const int count = static_cast<int>(args.size());
    const std::wstring upper_name = [&] {
        std::wstring u = name.text;
        for (wchar_t& c : u) {
            c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
        }
        return u;
    }();
    if (fn == L"len" && count == 1) {
        // LEN leaves out trailing blanks.
        return {L"char_length(rtrim(" + trimmed(args[0].text) + L"))", sql_value_kind::integer};
    }
    if (fn == L"datediff" && count == 3) {
        const std::wstring unit = mysql_unit(args[0].text);
        const std::wstring from = trimmed(args[1].text);
        const std::wstring to = trimmed(args[2].text);
        // SQL Server counts the boundaries crossed, which these forms count too.
        if (unit == L"DAY" && lower(trimmed(args[0].text)).find(L"d") == 0 &&
            lower(trimmed(args[0].text)) != L"dayofyear" && lower(trimmed(args[0].text)) != L"dw" &&
            lower(trimmed(args[0].text)) != L"dy") {
            return {L"datediff(" + to + L", " + from + L")", sql_value_kind::integer};
        }
        if (unit == L"YEAR") {
            return {L"(year(" + to + L") - year(" + from + L"))", sql_value_kind::integer};
        }
        if (unit == L"MONTH") {
            return {L"((year(" + to + L") - year(" + from + L")) * 12 + month(" + to +
                        L") - month(" + from + L"))",
                    sql_value_kind::integer};
        }
        refuse(L"it calls DATEDIFF with the date part " + trimmed(args[0].text) +
               L", which MySQL counts otherwise");
    }
    if (fn == L"dateadd" && count == 3) {
        const std::wstring unit = mysql_unit(args[0].text);
        if (unit.empty()) {
            refuse(L"it calls DATEADD with the date part " + trimmed(args[0].text) +
                   L", which the rewriting does not carry");
        }
        // SQL Server cuts a fractional number to an integer; MySQL would round it.
        if (args[1].kind != sql_value_kind::integer) {
            refuse(L"it calls DATEADD with a number whose type the rewriting cannot tell as an "
                   L"integer");
        }
        return {L"timestampadd(" + unit + L", " + trimmed(args[1].text) + L", " +
                    trimmed(args[2].text) + L")",
                sql_value_kind::temporal};
    }
    const function_rule* rule = find_rule(fn);
    if (rule == nullptr || count < rule->min_args || count > rule->max_args) {
        refuse(L"it calls " + upper_name + L" with " + std::to_wstring(count) +
               L" argument(s), which the rewriting does not carry");
    }
    if (fn == L"substring") {
        // SQL Server counts a start before the first character into the length; MySQL does not.
        const std::wstring start = trimmed(args[1].text);
        if (start.empty() || start.find_first_not_of(L"0123456789") != std::wstring::npos ||
            start.find_first_not_of(L'0') == std::wstring::npos) {
            refuse(L"it calls SUBSTRING with a start that is not a number from 1 on");
        }
    }
    sql_value_kind kind = rule->kind;
    if (kind == sql_value_kind::unknown && count > 0) {
        kind = args[0].kind;
        for (const operand& a : args) {
            if (a.kind != kind && fn != L"round") {
                kind = sql_value_kind::unknown;
            }
        }
    }
    std::wstring text = std::wstring(rule->mysql) + L"(";
    for (int i = 0; i < count; ++i) {
        text += (i > 0 ? L"," : L"") + args[static_cast<std::size_t>(i)].text;
    }
    return {text + L")", kind};
}

operand view_rewriter::cast(const std::vector<node>& expr_items, std::size_t eb, std::size_t ee,
                            const std::vector<node>& type_items, std::size_t tb, std::size_t te) {
    const operand value = level(expr_items, eb, ee);
    std::wstring type;
    std::vector<std::wstring> params;
    for (std::size_t i = tb; i < te; ++i) {
        const node& n = type_items[i];
        if (n.tok.kind == tok::space) {
            continue;
        }
        if (type.empty() && n.tok.kind == tok::word) {
            type = lower(n.tok.text);
        } else if (!type.empty() && params.empty() && n.tok.kind == tok::open) {
            for (const node& p : n.inner) {
                if (p.tok.kind == tok::number || p.tok.kind == tok::word) {
                    params.push_back(lower(p.tok.text));
                } else if (p.tok.kind != tok::comma && p.tok.kind != tok::space) {
                    refuse(L"it casts to a type the rewriting does not read");
                }
            }
        } else {
            refuse(L"it casts to a type the rewriting does not read");
        }
    }
    using k = sql_value_kind;
    const k from = value.kind;
    auto from_any_of = [&](std::initializer_list<k> kinds) {
        return from == k::null || std::find(kinds.begin(), kinds.end(), from) != kinds.end();
    };
    auto refuse_from = [&]() {
        refuse(L"it casts to " + type +
               L" a value whose type the rewriting cannot tell, or which SQL Server would "
               L"convert otherwise");
    };
    auto number = [&](std::size_t i, const wchar_t* fallback) {
        if (i >= params.size()) {
            return std::wstring(fallback);
        }
        if (params[i].find_first_not_of(L"0123456789") != std::wstring::npos) {
            refuse(L"it casts to " + type + L"(" + params[i] + L")");
        }
        return params[i];
    };
    std::wstring mysql;
    k kind = k::unknown;
    if (type == L"varchar" || type == L"nvarchar") {
        // SQL Server writes dates and floating-point numbers in forms of its own.
        if (!from_any_of({k::text, k::integer, k::exact})) {
            refuse_from();
        }
        mysql = params.empty()        ? L"CHAR(30)"
                : params[0] == L"max" ? L"CHAR"
                                      : L"CHAR(" + number(0, L"30") + L")";
        kind = k::text;
    } else if (in_list(type, {L"int", L"integer", L"bigint", L"smallint", L"tinyint"})) {
        // SQL Server cuts a fraction off; MySQL would round it.
        if (!from_any_of({k::text, k::integer})) {
            refuse_from();
        }
        mysql = L"SIGNED";
        kind = k::integer;
    } else if (type == L"decimal" || type == L"numeric") {
        if (!from_any_of({k::text, k::integer, k::exact, k::approximate})) {
            refuse_from();
        }
        mysql = L"DECIMAL(" + number(0, L"18") + L"," + number(1, L"0") + L")";
        kind = k::exact;
    } else if (type == L"money" || type == L"smallmoney") {
        if (!from_any_of({k::text, k::integer, k::exact, k::approximate})) {
            refuse_from();
        }
        mysql = type == L"money" ? L"DECIMAL(19,4)" : L"DECIMAL(10,4)";
        kind = k::exact;
    } else if (in_list(type, {L"date", L"datetime", L"datetime2", L"smalldatetime", L"time"})) {
        if (!from_any_of({k::text, k::temporal})) {
            refuse_from();
        }
        const std::wstring digits = number(0, type == L"datetime" ? L"3" : L"6");
        const std::wstring fraction = std::to_wstring(std::min(6, std::stoi(digits)));
        mysql = type == L"date"            ? L"DATE"
                : type == L"smalldatetime" ? L"DATETIME"
                : type == L"time"          ? L"TIME(" + fraction + L")"
                                           : L"DATETIME(" + fraction + L")";
        kind = k::temporal;
    } else {
        refuse(L"it casts to " + (type.empty() ? std::wstring(L"a type") : type) +
               L", which the rewriting does not carry");
    }
    return {L"CAST(" + trimmed(value.text) + L" AS " + mysql + L")", kind};
}

operand view_rewriter::parse_operand(const std::vector<node>& items, std::size_t& i,
                                     std::size_t e) {
    const node& n = items[i];
    auto next_sig = [&](std::size_t from) {
        while (from < e && items[from].tok.kind == tok::space) {
            ++from;
        }
        return from;
    };
    switch (n.tok.kind) {
    case tok::text:
        ++i;
        return {n.tok.text, sql_value_kind::text};
    case tok::number: {
        ++i;
        const std::wstring& t = n.tok.text;
        if (t.size() > 1 && (t[1] == L'x' || t[1] == L'X')) {
            return {t, sql_value_kind::unknown};
        }
        if (t.find_first_of(L"eE") != std::wstring::npos) {
            return {t, sql_value_kind::approximate};
        }
        if (t.find(L'.') != std::wstring::npos) {
            return {t, sql_value_kind::exact};
        }
        // SQL Server reads a literal beyond int's range as a decimal.
        return {t, t.size() <= 9 ? sql_value_kind::integer : sql_value_kind::exact};
    }
    case tok::open: {
        ++i;
        const operand inner = level(n.inner, 0, n.inner.size());
        return {L"(" + inner.text + L")", inner.kind};
    }
    case tok::dquote:
        refuse(L"it holds a text in double quotes, which SQL Server reads as a name and MySQL "
               L"as a literal");
    default:
        break;
    }
    if (n.tok.kind == tok::word) {
        const std::wstring w = lower(n.tok.text);
        if (w == L"null") {
            ++i;
            return {n.tok.text, sql_value_kind::null};
        }
        if (w == L"case") {
            int depth = 0;
            std::size_t k = i;
            for (; k < e; ++k) {
                if (items[k].tok.kind != tok::word) {
                    continue;
                }
                const std::wstring kw = lower(items[k].tok.text);
                depth += kw == L"case" ? 1 : kw == L"end" ? -1 : 0;
                if (depth == 0) {
                    break;
                }
            }
            if (k == e) {
                refuse(L"a CASE has no END");
            }
            const operand body = level(items, i + 1, k);
            const std::wstring text = n.tok.text + body.text + items[k].tok.text;
            i = k + 1;
            return {text, sql_value_kind::unknown};
        }
        const std::size_t after = next_sig(i + 1);
        if (after < e && items[after].tok.kind == tok::open) {
            i = after + 1;
            return call(w, n.tok, items[after]);
        }
        if (w == L"current_timestamp") {
            ++i;
            return {n.tok.text, sql_value_kind::temporal};
        }
    }
    // A name, qualified or not, or "*".
    std::vector<token> parts;
    std::wstring text;
    if (n.tok.kind == tok::op && n.tok.text == L"*") {
        ++i;
        return {L"*", sql_value_kind::unknown};
    }
    if (n.tok.kind != tok::dot) {
        parts.push_back(n.tok);
        text = n.tok.text;
        ++i;
    }
    while (true) {
        const std::size_t dot = next_sig(i);
        if (dot >= e || items[dot].tok.kind != tok::dot) {
            break;
        }
        const std::size_t part = next_sig(dot + 1);
        if (part >= e || !(items[part].tok.kind == tok::word || items[part].tok.kind == tok::name ||
                           items[part].tok.text == L"*")) {
            refuse(L"a \".\" is followed by no name");
        }
        if (items[part].tok.kind == tok::dquote) {
            refuse(L"it holds a name in double quotes");
        }
        for (std::size_t k = i; k <= part; ++k) {
            text += items[k].tok.text;
        }
        parts.push_back(items[part].tok);
        i = part + 1;
    }
    if (parts.empty()) {
        refuse(L"a \".\" stands where no name is");
    }
    const std::size_t after = next_sig(i);
    if (after < e && items[after].tok.kind == tok::open) {
        refuse(L"it calls " + text + L", which the rewriting does not carry");
    }
    return {text, column_kind(parts)};
}

// The kind of an operator's result, rewriting "/" into DIV where SQL Server divides integers.
std::wstring view_rewriter::flush(std::vector<piece>& pieces, sql_value_kind& kind) {
    using k = sql_value_kind;
    if (pieces.empty()) {
        kind = k::unknown;
        return {};
    }
    // Terms of "+" and "-", each a run of "*", "/" and "%".
    struct term {
        std::size_t begin, end;
        sql_value_kind kind;
    };
    std::vector<term> terms;
    std::vector<std::wstring> additive;
    std::size_t start = 0;
    k factor_kind = pieces[0].kind;
    for (std::size_t i = 1; i <= pieces.size(); ++i) {
        if (i == pieces.size() || pieces[i].text == L"+" || pieces[i].text == L"-") {
            terms.push_back({start, i, factor_kind});
            if (i < pieces.size()) {
                additive.push_back(pieces[i].text);
                start = i + 1;
                factor_kind = start < pieces.size() ? pieces[start].kind : k::unknown;
                i = start;
            }
            continue;
        }
        // pieces[i] is "*", "/" or "%"; pieces[i + 1] its right operand.
        piece& op = pieces[i];
        const k right = pieces[i + 1].kind;
        const bool numbers = (is_numeric(factor_kind) || factor_kind == k::null) &&
                             (is_numeric(right) || right == k::null);
        if (op.text == L"/") {
            if (factor_kind == k::integer && right == k::integer) {
                op.text = L"DIV";
                if (op.pre.empty()) {
                    op.pre = L" ";
                }
                if (pieces[i + 1].pre.empty()) {
                    pieces[i + 1].pre = L" ";
                }
            } else if (!(numbers && (factor_kind == k::approximate || right == k::approximate ||
                                     factor_kind == k::null || right == k::null))) {
                refuse(L"it divides values that the rewriting cannot tell as both integers or "
                       L"as floating-point numbers (SQL Server and MySQL divide them "
                       L"otherwise)");
            }
        }
        factor_kind = numbers ? numeric_result(factor_kind, right) : k::unknown;
        ++i;
    }
    if (terms.size() == 1) {
        kind = terms[0].kind;
        return join_pieces(pieces, 0, pieces.size(), false);
    }
    const bool all_plus = std::all_of(additive.begin(), additive.end(),
                                      [](const std::wstring& op) { return op == L"+"; });
    const bool texts = std::all_of(terms.begin(), terms.end(), [](const term& t) {
        return t.kind == k::text || t.kind == k::null;
    });
    const bool has_text =
        std::any_of(terms.begin(), terms.end(), [](const term& t) { return t.kind == k::text; });
    if (all_plus && texts && has_text) {
        std::wstring out = pieces[0].pre + L"CONCAT(";
        for (std::size_t t = 0; t < terms.size(); ++t) {
            out += (t > 0 ? L", " : L"") + join_pieces(pieces, terms[t].begin, terms[t].end, true);
        }
        kind = k::text;
        return out + L")";
    }
    k result = k::null;
    for (const term& t : terms) {
        if (!is_numeric(t.kind) && t.kind != k::null) {
            refuse(L"it joins with \"+\" or \"-\" values whose types the rewriting cannot tell as "
                   L"all texts or all numbers: " +
                   trimmed(join_pieces(pieces, 0, pieces.size(), true)));
        }
        result = numeric_result(result, t.kind);
    }
    kind = result;
    return join_pieces(pieces, 0, pieces.size(), false);
}

operand view_rewriter::level(const std::vector<node>& items, std::size_t b, std::size_t e) {
    std::wstring out;
    std::wstring pending;
    std::vector<piece> pieces;
    bool expect_operand = true;
    int expressions = 0;
    bool other = false;
    sql_value_kind last_kind = sql_value_kind::unknown;
    auto end_expression = [&]() {
        if (!pieces.empty() && pieces.back().is_operator) {
            refuse(L"the operator " + pieces.back().text + L" has no right operand");
        }
        if (!pieces.empty()) {
            out += flush(pieces, last_kind);
            pieces.clear();
            ++expressions;
        }
        expect_operand = true;
    };
    std::wstring sign;
    for (std::size_t i = b; i < e;) {
        const node& n = items[i];
        const token& t = n.tok;
        if (t.kind == tok::space) {
            pending += t.text;
            ++i;
            continue;
        }
        const std::wstring w = t.kind == tok::word ? lower(t.text) : std::wstring();
        const bool arithmetic =
            t.kind == tok::op && in_list(t.text, {L"+", L"-", L"*", L"/", L"%"});
        if (arithmetic && !expect_operand) {
            pieces.push_back({pending, t.text, sql_value_kind::unknown, true});
            pending.clear();
            expect_operand = true;
            ++i;
            continue;
        }
        if (arithmetic && expect_operand && (t.text == L"+" || t.text == L"-")) {
            sign += pending + t.text;
            pending.clear();
            ++i;
            continue;
        }
        if (t.kind == tok::word && is_foreign_word(w)) {
            refuse(L"it holds " + t.text + L", which MySQL does not read as SQL Server does");
        }
        if (t.kind == tok::word && w == L"with" && !(b == 0 && i == 0)) {
            refuse(L"it holds WITH, which MySQL does not read as SQL Server does");
        }
        const bool keyword = t.kind == tok::word && is_keyword(w) && w != L"null" && w != L"case" &&
                             !((w == L"left" || w == L"right") && [&] {
                                 std::size_t k = i + 1;
                                 while (k < e && items[k].tok.kind == tok::space) {
                                     ++k;
                                 }
                                 return k < e && items[k].tok.kind == tok::open;
                             }());
        if (w == L"at" && [&] {
                std::size_t k = i + 1;
                while (k < e && items[k].tok.kind == tok::space) {
                    ++k;
                }
                return k < e && lower(items[k].tok.text) == L"time";
            }()) {
            refuse(L"it holds AT TIME ZONE, which MySQL does not read");
        }
        const bool starts_operand =
            !keyword && (t.kind == tok::word || t.kind == tok::name || t.kind == tok::text ||
                         t.kind == tok::number || t.kind == tok::open || t.kind == tok::dot ||
                         t.kind == tok::dquote || (t.kind == tok::op && t.text == L"*"));
        if (starts_operand) {
            if (!expect_operand) {
                end_expression(); // an alias without AS
                other = true;
            }
            std::wstring pre = pending;
            pending.clear();
            operand o = parse_operand(items, i, e);
            if (!sign.empty()) {
                o.text = sign + o.text;
                if (!is_numeric(o.kind) && o.kind != sql_value_kind::null) {
                    o.kind = sql_value_kind::unknown;
                }
                sign.clear();
            }
            pieces.push_back({pre, o.text, o.kind, false});
            expect_operand = false;
            continue;
        }
        if (!sign.empty()) {
            refuse(L"a sign stands before no value");
        }
        if (t.kind == tok::op && !in_list(t.text, {L"=", L"<", L">", L"<=", L">=", L"<>", L"!="})) {
            refuse(L"it holds the operator " + t.text + L", which the rewriting does not carry");
        }
        end_expression();
        other = true;
        out += pending + t.text;
        pending.clear();
        ++i;
    }
    if (!sign.empty()) {
        refuse(L"a sign stands before no value");
    }
    end_expression();
    out += pending;
    const bool single = expressions == 1 && !other;
    return {out, single ? last_kind : sql_value_kind::unknown};
}

} // namespace

std::wstring sql_lower_ascii(std::wstring_view s) {
    return lower(s);
}

sql_value_kind sql_kind_of_mysql_type(std::wstring_view type) {
    std::size_t end = 0;
    while (end < type.size() &&
           ((type[end] >= L'a' && type[end] <= L'z') || (type[end] >= L'A' && type[end] <= L'Z'))) {
        ++end;
    }
    const std::wstring t = lower(type.substr(0, end));
    using k = sql_value_kind;
    if (in_list(t, {L"char", L"varchar", L"tinytext", L"text", L"mediumtext", L"longtext", L"enum",
                    L"set"})) {
        return k::text;
    }
    if (in_list(t, {L"tinyint", L"smallint", L"mediumint", L"int", L"integer", L"bigint"})) {
        return k::integer;
    }
    if (t == L"decimal" || t == L"numeric") {
        return k::exact;
    }
    if (in_list(t, {L"float", L"double", L"real"})) {
        return k::approximate;
    }
    if (in_list(t, {L"date", L"datetime", L"timestamp", L"time"})) {
        return k::temporal;
    }
    return k::unknown;
}

std::wstring sql_rewrite_view_code(const std::wstring& text, const sql_column_kinds* columns) {
    const std::vector<token> tokens = tokenize(text);
    bool derived_table = false;
    const std::vector<name_use> names = find_names(tokens, derived_table);
    const std::vector<node> tree = build_tree(tokens);
    view_rewriter rewriter(columns, names, derived_table, tokens);
    return rewriter.level(tree, 0, tree.size()).text;
}

std::wstring sql_foreign_qualifier_fault(std::wstring_view text, std::wstring_view database) {
    std::vector<token> tokens;
    try {
        tokens = tokenize(text);
    } catch (const tk_exception&) {
        return L"it holds an unclosed literal or name";
    }
    bool derived_table = false;
    for (const name_use& use : find_names(tokens, derived_table)) {
        const bool qualified_by_database =
            use.parts.size() >= 3 || (use.parts.size() == 2 && (use.table_position || use.call));
        if (!qualified_by_database) {
            continue;
        }
        const std::wstring db = unquote(use.parts.front());
        if (!db.empty() && db != database) {
            std::wstring name;
            for (const token& part : use.parts) {
                name += (name.empty() ? L"" : L".") + part.text;
            }
            return L"it names " + name + L", which lies outside the destination database";
        }
    }
    return {};
}
