// Source-to-destination names of tables and columns, and their rewriting in view text.
#include "UDB/udb_nmap.h"

#include "TK/tk_log.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

void t_names_map::add(const std::wstring& source, const std::wstring& dest) {
    tk_log_wmessage(1, L"t_names_map::add(%ls,%ls)", source.c_str(), dest.c_str());
    emplace(source, dest);
}

void udb_names_map::add_tn_mapping(const std::wstring& source, const std::wstring& dest) {
    tk_log_wmessage(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", source.c_str(), dest.c_str());
    tn_map.emplace(source, dest);
}

void udb_names_map::add_fn_map(const std::wstring& table, const t_names_map& columns) {
    tk_log_wmessage(2, L"udb_names_map::add_fn_map(%ls)", table.c_str());
    fn_maps.emplace(table, columns);
}

namespace {

bool names_equal(const std::wstring& a, const std::wstring& b, bool case_sensitive) {
    return case_sensitive ? a == b : udb_equal_no_case(a, b);
}

} // namespace

std::wstring udb_names_map::get_tn_mapped_name(const std::wstring& name,
                                               bool case_sensitive) const {
    tk_log_wmessage(1, L"udb_names_map::get_tn_mapped_name(%ls)", name.c_str());
    for (const auto& [source, dest] : tn_map) {
        tk_log_wmessage(1, L"Comparing with (%ls,%ls)", source.c_str(), dest.c_str());
        if (names_equal(source, name, case_sensitive)) {
            tk_log_wmessage(1, L"Got mapped name: %ls", dest.c_str());
            return dest;
        }
    }
    return name;
}

std::wstring udb_names_map::get_fn_mapped_name(const std::wstring& table,
                                               const std::wstring& column,
                                               bool case_sensitive) const {
    tk_log_wmessage(1, L"udb_names_map::get_fn_mapped_name(%ls,%ls)", table.c_str(),
                    column.c_str());
    auto it = fn_maps.find(table);
    if (it == fn_maps.end()) {
        tk_log_wmessage(1, L"Table '%ls' not found", table.c_str());
        return column;
    }
    for (const auto& [source, dest] : it->second) {
        if (names_equal(source, column, case_sensitive)) {
            tk_log_wmessage(1, L"Got mapped name: %ls", dest.c_str());
            return dest;
        }
    }
    return column;
}

std::wstring udb_names_map::get_fn_orig_name(const std::wstring& table, const std::wstring& column,
                                             bool case_sensitive) const {
    tk_log_wmessage(1, L"udb_names_map::get_fn_orig_name(%ls,%ls)", table.c_str(), column.c_str());
    tk_log_message(1, "fn.size=%d", static_cast<int>(fn_maps.size()));
    tk_log_message(1, "Step #1");
    auto it = fn_maps.find(table);
    if (it == fn_maps.end()) {
        tk_log_wmessage(1, L"Table '%ls' not found", table.c_str());
        return column;
    }
    tk_log_message(1, "Step #2");
    for (const auto& [source, dest] : it->second) {
        if (names_equal(dest, column, case_sensitive)) {
            tk_log_wmessage(1, L"Got orignal name: %ls", source.c_str());
            return source;
        }
    }
    return column;
}

namespace {

// Letters, digits, "_", "$" and everything from U+0080 on continue an identifier. Case folding
// never moves a character into or out of this set, so it can be tested before folding.
bool is_word_char(wchar_t c) {
    if (static_cast<std::uint32_t>(c) >= 0x80) {
        return true;
    }
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
           c == L'_' || c == L'$';
}

// Length of the first token of `s`: its leading run of word characters, or its first character
// when that is not a word character.
std::size_t first_token_length(std::wstring_view s) {
    if (s.empty()) {
        return 0;
    }
    if (!is_word_char(s[0])) {
        return 1;
    }
    std::size_t i = 1;
    while (i < s.size() && is_word_char(s[i])) {
        ++i;
    }
    return i;
}

// `inner` with every `quote` doubled, so it stays one quoted identifier.
std::wstring escape_quote(std::wstring_view inner, std::wstring_view quote) {
    std::wstring out;
    out.reserve(inner.size() + 2);
    if (quote.empty()) {
        out.append(inner);
        return out;
    }
    std::size_t pos = 0;
    while (true) {
        std::size_t hit = inner.find(quote, pos);
        if (hit == std::wstring_view::npos) {
            out.append(inner.substr(pos));
            return out;
        }
        out.append(inner.substr(pos, hit - pos + quote.size()));
        out.append(quote);
        pos = hit + quote.size();
    }
}

// The destination name enclosed in the quotes. A name that already begins with the opening
// quote or ends with the closing one keeps that quote instead of getting a second one.
std::wstring enclose(const std::wstring& value, const std::wstring& open_quote,
                     const std::wstring& close_quote) {
    std::wstring_view inner = value;
    if (!open_quote.empty() && inner.starts_with(open_quote)) {
        inner.remove_prefix(open_quote.size());
    }
    if (!close_quote.empty() && inner.ends_with(close_quote)) {
        inner.remove_suffix(close_quote.size());
    }
    std::wstring out = open_quote;
    out += escape_quote(inner, close_quote);
    out += close_quote;
    return out;
}

// End (one past the closing quote) of a quoted run that starts at `p`, where a doubled closing
// quote stands for itself; the text's end when the run is not closed.
std::size_t end_of_quoted(std::wstring_view text, std::size_t p, wchar_t close) {
    std::size_t i = p + 1;
    while (i < text.size()) {
        if (text[i] != close) {
            ++i;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == close) {
            i += 2;
            continue;
        }
        return i + 1;
    }
    return text.size();
}

// End of a block comment starting at `p` ("/*"); block comments nest as in T-SQL.
std::size_t end_of_block_comment(std::wstring_view text, std::size_t p) {
    int depth = 0;
    std::size_t i = p;
    while (i + 1 < text.size()) {
        if (text[i] == L'/' && text[i + 1] == L'*') {
            ++depth;
            i += 2;
        } else if (text[i] == L'*' && text[i + 1] == L'/') {
            i += 2;
            if (--depth == 0) {
                return i;
            }
        } else {
            ++i;
        }
    }
    return text.size();
}

std::wstring unescape_quoted(std::wstring_view inner, wchar_t close) {
    std::wstring out;
    out.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        out += inner[i];
        if (inner[i] == close && i + 1 < inner.size() && inner[i + 1] == close) {
            ++i;
        }
    }
    return out;
}

class name_rewriter {
public:
    name_rewriter(const std::wstring& open_quote, const std::wstring& close_quote)
        : open_quote_(open_quote), close_quote_(close_quote) {}

    void add(const std::wstring& key, const std::wstring& value) {
        if (key.empty()) {
            return;
        }
        entry e{&key, &value, enclose(value, open_quote_, close_quote_)};
        tk_log_wmessage(1, L"Testing pair ('%ls','%ls')", key.c_str(), e.replacement.c_str());
        std::size_t index = entries_.size();
        entries_.push_back(std::move(e));
        if (is_word_char(key[0])) {
            by_word_length_[first_token_length(key)].push_back(index);
        } else {
            by_symbol_[key[0]].push_back(index);
        }
    }

    std::wstring run(const std::wstring& text) {
        order_buckets();
        std::wstring out;
        out.reserve(text.size() + text.size() / 4);
        const std::wstring_view view = text;
        const std::size_t n = view.size();
        std::size_t p = 0;
        while (p < n) {
            const wchar_t c = view[p];
            std::size_t q = p + 1;
            if (c == L'\'') {
                q = end_of_quoted(view, p, L'\'');
            } else if (c == L'-' && p + 1 < n && view[p + 1] == L'-') {
                q = std::min(view.find_first_of(L"\r\n", p), n);
            } else if (c == L'/' && p + 1 < n && view[p + 1] == L'*') {
                q = end_of_block_comment(view, p);
            } else if (c == L'"' || c == L'`' || c == L'[') {
                const wchar_t close = c == L'[' ? L']' : c;
                q = end_of_quoted(view, p, close);
                if (q - p >= 2 && view[q - 1] == close) {
                    std::wstring content = unescape_quoted(view.substr(p + 1, q - p - 2), close);
                    if (const entry* e = whole(content)) {
                        log_found(*e, p);
                        append_quoted(out, *e, c, close);
                        p = q;
                        continue;
                    }
                }
            } else if (is_word_char(c)) {
                q = p + first_token_length(view.substr(p));
                if (q - p == 1 && (c == L'N' || c == L'n') && q < n && view[q] == L'\'') {
                    // A national string literal: its prefix is no name.
                    q = end_of_quoted(view, q, L'\'');
                } else if (const entry* e = match(view, p, by_word_length_, q - p)) {
                    log_found(*e, p);
                    out += e->replacement;
                    p += e->key->size();
                    continue;
                }
            } else if (const entry* e = match(view, p, by_symbol_, c)) {
                log_found(*e, p);
                out += e->replacement;
                p += e->key->size();
                continue;
            }
            out.append(view.substr(p, q - p));
            p = q;
        }
        return out;
    }

private:
    struct entry {
        const std::wstring* key;
        const std::wstring* value;
        std::wstring replacement;
    };

    // Longer names first; among names of one length, the first added.
    void order_buckets() {
        auto by_length = [this](std::size_t a, std::size_t b) {
            return entries_[a].key->size() > entries_[b].key->size();
        };
        for (auto& [length, bucket] : by_word_length_) {
            std::stable_sort(bucket.begin(), bucket.end(), by_length);
        }
        for (auto& [symbol, bucket] : by_symbol_) {
            std::stable_sort(bucket.begin(), bucket.end(), by_length);
        }
    }

    template <class Buckets, class Key>
    const entry* match(std::wstring_view text, std::size_t p, const Buckets& buckets,
                       Key bucket_key) const {
        auto it = buckets.find(bucket_key);
        if (it == buckets.end()) {
            return nullptr;
        }
        for (std::size_t index : it->second) {
            const entry& e = entries_[index];
            const std::wstring& key = *e.key;
            if (key.size() > text.size() - p) {
                continue;
            }
            const std::size_t end = p + key.size();
            if (end < text.size() && is_word_char(text[end]) && is_word_char(key.back())) {
                continue;
            }
            if (udb_equal_no_case(text.substr(p, key.size()), key)) {
                return &e;
            }
        }
        return nullptr;
    }

    const entry* whole(const std::wstring& content) const {
        if (content.empty()) {
            return nullptr;
        }
        const entry* e = is_word_char(content[0])
                             ? match(content, 0, by_word_length_, first_token_length(content))
                             : match(content, 0, by_symbol_, content[0]);
        return e != nullptr && e->key->size() == content.size() ? e : nullptr;
    }

    // A quoted identifier that names a source object. With quotes of our own it takes the
    // usual replacement; without, it keeps its own quotes around the destination name.
    void append_quoted(std::wstring& out, const entry& e, wchar_t open, wchar_t close) const {
        if (!open_quote_.empty() || !close_quote_.empty()) {
            out += e.replacement;
            return;
        }
        out += open;
        out += escape_quote(*e.value, std::wstring(1, close));
        out += close;
    }

    static void log_found(const entry& e, std::size_t p) {
        tk_log_wmessage(1, L"'%ls' was found at pos=%d", e.key->c_str(), static_cast<int>(p));
    }

    const std::wstring& open_quote_;
    const std::wstring& close_quote_;
    std::vector<entry> entries_;
    std::unordered_map<std::size_t, std::vector<std::size_t>> by_word_length_;
    std::unordered_map<wchar_t, std::vector<std::size_t>> by_symbol_;
};

} // namespace

std::wstring udb_names_map::do_global_replace1(const std::wstring& text,
                                               const std::wstring& open_quote,
                                               const std::wstring& close_quote) const {
    tk_log_wmessage(2, L"udb_names_map::do_global_replace1(%ls)", text.c_str());
    name_rewriter rewriter(open_quote, close_quote);
    for (const auto& [source, dest] : tn_map) {
        rewriter.add(source, dest);
    }
    for (const auto& [table, columns] : fn_maps) {
        for (const auto& [source, dest] : columns) {
            rewriter.add(source, dest);
        }
    }
    return rewriter.run(text);
}

std::wstring udb_names_map::do_global_replace2(const std::wstring& text, const t_names_map& map,
                                               const std::wstring& open_quote,
                                               const std::wstring& close_quote) const {
    tk_log_wmessage(2, L"udb_names_map::do_global_replace2(%ls)", text.c_str());
    name_rewriter rewriter(open_quote, close_quote);
    for (const auto& [source, dest] : map) {
        rewriter.add(source, dest);
    }
    return rewriter.run(text);
}

namespace {

wchar_t ascii_upper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

} // namespace

std::uint64_t udb_names_map::find_no_case(const wchar_t* text, std::uint64_t n, std::uint64_t start,
                                          const wchar_t* pattern, std::uint64_t m) {
    if (n < m || n - m < start) {
        return npos;
    }
    if (m == 0) {
        return start;
    }
    const wchar_t first = ascii_upper(pattern[0]);
    for (std::uint64_t pos = start; pos <= n - m; ++pos) {
        if (ascii_upper(text[pos]) != first) {
            continue;
        }
        std::uint64_t i = 1;
        while (i < m && ascii_upper(text[pos + i]) == ascii_upper(pattern[i])) {
            ++i;
        }
        if (i == m) {
            return pos;
        }
    }
    return npos;
}
