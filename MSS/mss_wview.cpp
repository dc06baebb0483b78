// The MS SQL writer: views, their MySQL texts rewritten for T-SQL.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_icmp.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_util.h"
#include "MSS/mss_vali.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_qchk.h"

#include <cwctype>
#include <string_view>
#include <vector>

icomparer::icomparer(const std::wstring& word_in) : word(word_in) {
    tk_log_wmessage(1, L"icomparer::ctor(%ls)", word.c_str());
}

int icomparer::compare(const std::wstring& text, std::size_t position) const {
    tk_log_wmessage(1, L"icomparer::compare('%ls',%d)", text.c_str(), static_cast<int>(position));
    if (word.size() + position >= text.size()) {
        return -1;
    }
    const std::wstring part = text.substr(position, word.size());
    tk_log_wmessage(1, L"Got substring: '%ls'", part.c_str());
    for (std::size_t i = 0; i < word.size(); ++i) {
        // Keywords are ASCII: no other letter folds into one of theirs, whatever the locale.
        const wchar_t a = tk_ascii_lower(part[i]);
        const wchar_t b = tk_ascii_lower(word[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return 0;
}

namespace {

// One piece of a MySQL view text. The rewriting works on these, so that nothing inside a
// literal, a quoted name or a comment is ever taken for code.
enum class piece { word, literal, quoted_name, bracketed_name, comment, blank, other };

struct token {
    piece kind;
    std::size_t begin;
    std::size_t end;    // one past the last character
    bool closed = true; // a literal, quoted name or comment that reaches its closing mark
};

bool is_word_char(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_' || c == L'$' || c >= 0x80;
}

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f' || c == L'\v';
}

// The end of a quoted piece opened at `from` by `quote`: a doubled quote stays inside, and in a
// literal a backslash takes the next character with it. Returns npos when it is not closed.
std::size_t quoted_end(const std::wstring& text, std::size_t from, wchar_t quote, bool escapes) {
    for (std::size_t i = from + 1; i < text.size(); ++i) {
        if (escapes && text[i] == L'\\') {
            ++i;
        } else if (text[i] == quote) {
            if (i + 1 < text.size() && text[i + 1] == quote) {
                ++i;
            } else {
                return i + 1;
            }
        }
    }
    return std::wstring::npos;
}

// MySQL's reading of the text (with T-SQL's bracketed names, which MySQL code never holds): "--"
// opens a comment only before a blank or the end, "#" always,
// "/*" up to the first "*/" (MySQL does not nest them). A "/*!" comment is code MySQL runs, so
// its content is read as code and only its marks (with the version number) go.
std::vector<token> tokenise(const std::wstring& text) {
    std::vector<token> out;
    bool in_code_comment = false;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const wchar_t c = text[i];
        const wchar_t next = i + 1 < n ? text[i + 1] : L'\0';
        const auto push = [&](piece kind, std::size_t end, bool closed = true) {
            out.push_back({kind, i, end, closed});
            i = end;
        };
        if (c == L'\'' || c == L'"' || c == L'`') {
            const std::size_t end = quoted_end(text, i, c, c != L'`');
            const piece kind = c == L'`' ? piece::quoted_name : piece::literal;
            push(kind, end == std::wstring::npos ? n : end, end != std::wstring::npos);
        } else if (c == L'[') {
            // A T-SQL name, as a text read from an MS SQL source holds it: it stays as it is.
            const std::size_t end = quoted_end(text, i, L']', false);
            push(piece::bracketed_name, end == std::wstring::npos ? n : end);
        } else if (is_blank(c)) {
            std::size_t end = i;
            while (end < n && is_blank(text[end])) {
                ++end;
            }
            push(piece::blank, end);
        } else if (c == L'#' ||
                   (c == L'-' && next == L'-' && (i + 2 >= n || is_blank(text[i + 2])))) {
            const std::size_t line_end = text.find_first_of(L"\r\n", i);
            push(piece::comment, line_end == std::wstring::npos ? n : line_end);
        } else if (c == L'/' && next == L'*' && i + 2 < n && text[i + 2] == L'!' &&
                   !in_code_comment) {
            std::size_t end = i + 3;
            while (end < n && end < i + 9 && text[end] >= L'0' && text[end] <= L'9') {
                ++end;
            }
            in_code_comment = true;
            push(piece::comment, end);
        } else if (c == L'*' && next == L'/' && in_code_comment) {
            in_code_comment = false;
            push(piece::comment, i + 2);
        } else if (c == L'/' && next == L'*') {
            const std::size_t close = text.find(L"*/", i + 2);
            push(piece::comment, close == std::wstring::npos ? n : close + 2,
                 close != std::wstring::npos);
        } else if (is_word_char(c)) {
            std::size_t end = i;
            while (end < n && is_word_char(text[end])) {
                ++end;
            }
            push(piece::word, end);
        } else {
            push(piece::other, i + 1);
        }
    }
    return out;
}

// ASCII letters only: the locale must not decide what a function name is.
bool same_word(const std::wstring& text, const token& t, std::wstring_view word) {
    if (t.end - t.begin != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        wchar_t c = text[t.begin + i];
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        if (c != word[i]) {
            return false;
        }
    }
    return true;
}

bool starts_word(const std::wstring& text, const token& t, std::wstring_view prefix) {
    const std::size_t size = t.end - t.begin;
    if (size < prefix.size() || text[t.begin] != L'_') {
        return false;
    }
    token head = t;
    head.end = t.begin + prefix.size();
    return same_word(text, head, prefix);
}

class view_rewriter {
public:
    explicit view_rewriter(const std::wstring& text_in)
        : text(text_in), tokens(tokenise(text_in)) {}

    std::wstring run() {
        std::wstring out;
        out.reserve(text.size());
        emit(0, tokens.size(), out);
        return out;
    }

private:
    std::size_t skip_blanks(std::size_t i, std::size_t end) const {
        while (i < end && (tokens[i].kind == piece::blank || tokens[i].kind == piece::comment)) {
            ++i;
        }
        return i;
    }

    bool is_char(std::size_t i, wchar_t c) const {
        return i < tokens.size() && tokens[i].kind == piece::other && text[tokens[i].begin] == c;
    }

    // The ")" that closes the "(" at `open`, or `end` when there is none before it.
    std::size_t matching(std::size_t open, std::size_t end) const {
        int depth = 0;
        for (std::size_t i = open; i < end; ++i) {
            if (is_char(i, L'(')) {
                ++depth;
            } else if (is_char(i, L')') && --depth == 0) {
                return i;
            }
        }
        return end;
    }

    // The number of arguments between "(" at `open` and ")" at `close`: commas at the top level
    // plus one, 0 for nothing but blanks.
    std::size_t arguments(std::size_t open, std::size_t close) const {
        if (skip_blanks(open + 1, close) == close) {
            return 0;
        }
        std::size_t count = 1;
        int depth = 0;
        for (std::size_t i = open + 1; i < close; ++i) {
            if (is_char(i, L'(')) {
                ++depth;
            } else if (is_char(i, L')')) {
                --depth;
            } else if (depth == 0 && is_char(i, L',')) {
                ++count;
            }
        }
        return count;
    }

    void emit(std::size_t from, std::size_t end, std::wstring& out) const {
        for (std::size_t i = from; i < end;) {
            i = emit_one(i, end, out);
        }
    }

    // Writes the token at `i` (with what belongs to it) and returns the next one's index.
    std::size_t emit_one(std::size_t i, std::size_t end, std::wstring& out) const {
        const token& t = tokens[i];
        switch (t.kind) {
        case piece::literal:
            emit_literal(t, out);
            return i + 1;
        case piece::quoted_name:
            emit_name(t, out);
            return i + 1;
        case piece::comment:
            // A comment goes as one blank: T-SQL nests block comments and knows no "#".
            out += L' ';
            return i + 1;
        case piece::word:
            return emit_word(i, end, out);
        case piece::other:
            out += text[t.begin];
            // MySQL's "1--1" subtracts a negation; T-SQL would read a comment to the line's end.
            if (text[t.begin] == L'-' && is_char(i + 1, L'-')) {
                out += L' ';
            }
            return i + 1;
        default:
            out.append(text, t.begin, t.end - t.begin);
            return i + 1;
        }
    }

    // A literal in T-SQL's form: '...' with "'" doubled, MySQL's backslash escapes read.
    void emit_literal(const token& t, std::wstring& out) const {
        if (!t.closed) {
            out.append(text, t.begin, t.end - t.begin); // the server refuses it as it stands
            return;
        }
        const wchar_t quote = text[t.begin];
        std::wstring value;
        for (std::size_t i = t.begin + 1; i + 1 < t.end; ++i) {
            wchar_t c = text[i];
            if (c == L'\\' && i + 2 < t.end) {
                c = text[++i];
                switch (c) {
                case L'0':
                    c = L'\0';
                    break;
                case L'b':
                    c = L'\b';
                    break;
                case L'n':
                    c = L'\n';
                    break;
                case L'r':
                    c = L'\r';
                    break;
                case L't':
                    c = L'\t';
                    break;
                case L'Z':
                    c = L'\x1A';
                    break;
                case L'%':
                case L'_':
                    value += L'\\'; // MySQL keeps these two escapes for LIKE
                    break;
                default:
                    break;
                }
            } else if (c == quote) {
                ++i; // the second of a doubled quote
            }
            value += c;
        }
        out += mss_quote_text(mss_escape_literal(value), false);
    }

    void emit_name(const token& t, std::wstring& out) const {
        if (!t.closed) {
            out.append(text, t.begin, t.end - t.begin);
            return;
        }
        out += L'[';
        for (std::size_t i = t.begin + 1; i + 1 < t.end; ++i) {
            const wchar_t c = text[i];
            if (c == L'`') {
                ++i; // a doubled backquote is one
            }
            out += c == L']' ? L"]]" : std::wstring(1, c);
        }
        out += L']';
    }

    std::size_t emit_word(std::size_t i, std::size_t end, std::wstring& out) const {
        const token& t = tokens[i];
        const std::size_t after = skip_blanks(i + 1, end);
        // A character-set introducer goes with the blanks between it and its literal.
        if ((starts_word(text, t, L"_cp") || starts_word(text, t, L"_utf") ||
             starts_word(text, t, L"_latin")) &&
            after < end && tokens[after].kind == piece::literal) {
            return after;
        }
        const bool call = !(i > 0 && is_char(i - 1, L'.')) && is_char(after, L'(');
        const std::wstring_view word(text.data() + t.begin, t.end - t.begin);
        const bool rewritten = same_word(text, t, L"now") || same_word(text, t, L"isnull") ||
                               same_word(text, t, L"from_unixtime") ||
                               same_word(text, t, L"curdate") || same_word(text, t, L"curtime");
        // Past the depth limit calls stay as they are (the server then refuses the view): a
        // hostile nesting must not exhaust the stack.
        if (!call || !rewritten || depth_ >= max_depth) {
            // IFNULL is T-SQL's ISNULL, in the letter case MySQL's own texts use.
            if (call && word == L"IFNULL") {
                out += L"ISNULL";
            } else if (call && word == L"ifnull") {
                out += L"isnull";
            } else {
                out += word;
            }
            return i + 1;
        }
        const std::size_t open = after;
        const std::size_t close = matching(open, end);
        if (close == end) {
            out += word;
            return i + 1;
        }
        const std::size_t count = arguments(open, close);
        const auto inner = [&] {
            std::wstring part;
            ++depth_;
            emit(open + 1, close, part);
            --depth_;
            return part;
        };
        if (same_word(text, t, L"now")) {
            out += L"getdate(" + inner() + L")";
        } else if (same_word(text, t, L"isnull") && count == 1) {
            out += L"(" + inner() + L") is null";
        } else if (same_word(text, t, L"from_unixtime") && count == 1) {
            out += L"DateAdd(ss,(" + inner() + L"),'01-01-1970')";
        } else if (same_word(text, t, L"curdate") && count == 0) {
            out += L"cast(getdate() as date)";
        } else if (same_word(text, t, L"curtime") && count == 0) {
            out += L"convert(time, getdate())";
        } else {
            out += word; // another number of arguments: not MySQL's function, left alone
            return i + 1;
        }
        return close + 1;
    }

    static constexpr int max_depth = 200;

    const std::wstring& text;
    const std::vector<token> tokens;
    mutable int depth_ = 0; // rewritten calls around the one being written
};

} // namespace

std::wstring mss_database::refine_view(const std::wstring& text) {
    return view_rewriter(text).run();
}

void mss_database::create_views(const std::vector<udb_view>& list) {
    tk_log_message(2, "mss_database::create_views");
    std::vector<std::wstring> names;
    for (const udb_view& view : list) {
        names.push_back(view.first);
    }
    mss_tn_validator validator(names, {});
    mss_engine& engine = mss_engine::ref();
    for (const auto& [name, text] : list) {
        try {
            tk_log_wmessage(1, L"Processing '%ls'", name.c_str());
            tk_log_wmessage(1, L"\t'%ls'", text.c_str());
            if (name.empty()) {
                throw tk_exception("The view has no name.", 1);
            }
            std::wstring n = name;
            if (!validator.is_acceptable(n)) {
                const std::wstring safe = validator.get_safe_name(n);
                tk_log_wmessage(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", n.c_str(),
                                safe.c_str());
                names_map.add_tn_mapping(n, safe);
                n = safe;
                tk_log_wmessage(2, L"Store generated column name '%ls'", n.c_str());
                tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", n.c_str());
                validator.add_existing_name(n);
            }
            const std::wstring qualified = engine.get_dest_tname(n);
            // The object tested is the one dropped: the same qualified name, as a Unicode
            // literal.
            const std::wstring drop = L"IF OBJECT_ID(N'" + mss_escape_literal(qualified) +
                                      L"') IS NOT NULL DROP VIEW " + qualified;
            tk_log_wmessage(1, L"mss_database::refine_view(%ls)", text.c_str());
            // The text follows CREATE VIEW in one batch: anything past one SELECT would run too,
            // and the driver would rewrite what its comments hide from SQL Server.
            const std::wstring body = udb_select_to_send(L"View", name, refine_view(text));
            const std::wstring create = L"CREATE VIEW " + qualified + L" AS " + body;
            odb_command command(session.get());
            command.execute(drop);
            command.execute(create);
        } catch (const tk_exception& e) {
            tk_log_message(3, "Error while creating view:\n%s\n", e.what());
            mss_report_writer_error("View '" + tk_to_utf8(name) + "'",
                                    mss_writer_error("Can't create view.", e));
        }
    }
}
