// MS SQL table names.
#include "MSS/mss_tnam.h"

#include "MSS/mss_engi.h"
#include "TK/tk_log.h"

namespace {

bool is_enclosed(const std::wstring& name) {
    return !name.empty() && name.front() == L'[' && name.back() == L']';
}

// "]]" inside a bracketed part stands for one "]".
std::wstring unescape_brackets(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == L']' && i + 1 < text.size() && text[i + 1] == L']') {
            ++i;
        }
    }
    return out;
}

// Position of the first "].[" that separates two bracketed parts, skipping doubled "]]".
std::wstring::size_type find_part_separator(const std::wstring& inner) {
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] != L']') {
            continue;
        }
        if (inner.compare(i, 3, L"].[") == 0) {
            return i;
        }
        if (i + 1 < inner.size() && inner[i + 1] == L']') {
            ++i;
        }
    }
    return std::wstring::npos;
}

} // namespace

bool mss_split_tab_name(const std::wstring& name, std::wstring& table, std::wstring& owner) {
    tk_log_wmessage(1, L"mss_split_tab_name(%ls)", name.c_str());
    if (name.size() < 3) {
        table = name;
        owner.clear();
    } else if (is_enclosed(name)) {
        tk_log_message(1, "Name is enclosed in [...]");
        const std::wstring inner = name.substr(1, name.size() - 2);
        const auto at = find_part_separator(inner);
        if (at != std::wstring::npos) {
            table = unescape_brackets(inner.substr(at + 3));
            tk_log_message(1, "Getting owner for composed name");
            owner = unescape_brackets(inner.substr(0, at));
        } else {
            tk_log_message(1, "Prepare blank owner for simple name (table only)");
            owner.clear();
            table = unescape_brackets(inner);
        }
    } else {
        tk_log_message(1, "Name is NOT enclosed in [...]");
        tk_log_message(1, "mss_engine::is_initialized()=%d", mss_engine::pointer() != nullptr);
        tk_log_message(1, "is_view_owned()=%d", mss_engine::ref().is_view_owned());
        const auto at = name.find(L'.');
        if (at != std::wstring::npos) {
            owner = name.substr(0, at);
            table = name.substr(at + 1);
        } else {
            tk_log_message(1, "Prepare blank owner for simple name (table only)");
            owner.clear();
            table = name;
        }
    }
    tk_log_wmessage(1, L"tab_name=%ls, owner=%ls", table.c_str(), owner.c_str());
    return true;
}

std::wstring mss_simplify_tab_name(const std::wstring& name, wchar_t separator) {
    tk_log_wmessage(1, L"mss_simplify_tab_name(%ls)", name.c_str());
    std::wstring table;
    std::wstring owner;
    mss_split_tab_name(name, table, owner);
    if (!owner.empty()) {
        tk_log_wmessage(1, L"Processing compound table name %ls.%ls", owner.c_str(), table.c_str());
        return owner + separator + table;
    }
    tk_log_wmessage(1, L"Processing simple table name %ls", table.c_str());
    return table;
}

namespace {

// "[" part "]" with every "]" inside doubled.
void append_bracketed(std::wstring& out, const std::wstring& part) {
    out += L'[';
    for (wchar_t c : part) {
        out += c;
        if (c == L']') {
            out += L']';
        }
    }
    out += L']';
}

} // namespace

namespace {

// Reads one bracketed part starting at `at` ("[" ... "]" with "]]" for "]"); the position behind
// it, or npos when the text holds no complete part there.
std::wstring::size_type read_bracketed(const std::wstring& text, std::wstring::size_type at,
                                       std::wstring& part) {
    if (at >= text.size() || text[at] != L'[') {
        return std::wstring::npos;
    }
    part.clear();
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] != L']') {
            part += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == L']') {
            part += L']';
            ++i;
        } else {
            return i + 1;
        }
    }
    return std::wstring::npos;
}

bool parse_bracketed(const std::wstring& text, std::wstring& owner, std::wstring& table) {
    std::wstring first;
    const auto end = read_bracketed(text, 0, first);
    if (end == text.size()) {
        owner.clear();
        table = first;
        return true;
    }
    std::wstring second;
    if (end == std::wstring::npos || text[end] != L'.' ||
        read_bracketed(text, end + 1, second) != text.size()) {
        return false;
    }
    owner = first;
    table = second;
    return true;
}

} // namespace

bool mss_is_one_enclosed_name(const std::wstring& name) {
    std::wstring part;
    return read_bracketed(name, 0, part) == name.size();
}

std::wstring mss_enclose_name(const std::wstring& name) {
    // Text around or inside the brackets that is not part of one identifier would be read as
    // statement text: such a name is enclosed as a whole.
    if (mss_is_one_enclosed_name(name)) {
        return name;
    }
    std::wstring out;
    out.reserve(name.size() + 2);
    append_bracketed(out, name);
    return out;
}

void mss_read_dest_name(const std::wstring& name, std::wstring& owner, std::wstring& table) {
    std::wstring first;
    const auto end = read_bracketed(name, 0, first);
    if (end == name.size()) {
        owner.clear();
        table = first;
        return;
    }
    std::wstring second;
    if (end != std::wstring::npos && name[end] == L'.' &&
        read_bracketed(name, end + 1, second) == name.size()) {
        owner = first;
        table = second;
        return;
    }
    owner.clear();
    table = name;
}

std::wstring mss_format_tab_name(const std::wstring& owner, const std::wstring& table) {
    // Not mss_enclose_name: a part that itself begins with "[" and ends with "]" needs brackets.
    std::wstring out;
    out.reserve(owner.size() + table.size() + 5);
    if (!owner.empty()) {
        append_bracketed(out, owner);
        out += L'.';
    }
    append_bracketed(out, table);
    return out;
}

std::wstring mss_list_tab_name(const std::wstring& owner, const std::wstring& table) {
    std::wstring plain = owner.empty() ? table : owner + L"." + table;
    std::wstring plain_owner;
    std::wstring plain_table;
    if (mss_parse_tab_name(plain, plain_owner, plain_table) && plain_owner == owner &&
        plain_table == table) {
        return plain;
    }
    return mss_format_tab_name(owner, table);
}

bool mss_parse_tab_name(const std::wstring& text, std::wstring& owner, std::wstring& table) {
    if (!text.empty() && text.front() == L'[') {
        return parse_bracketed(text, owner, table);
    }
    if (text.empty() || text.find_first_of(L"[]") != std::wstring::npos) {
        return false;
    }
    const auto dot = text.find(L'.');
    if (dot == std::wstring::npos) {
        owner.clear();
        table = text;
        return true;
    }
    if (text.find(L'.', dot + 1) != std::wstring::npos || dot == 0 || dot + 1 == text.size()) {
        return false;
    }
    owner = text.substr(0, dot);
    table = text.substr(dot + 1);
    return true;
}

// SQL Server reads a backslash before a line feed (or CR LF) inside a literal as a line
// continuation and drops both: such a backslash is followed by a continuation of its own
// ("\\" LF), which the server drops, leaving the text's backslash and line break.
std::wstring mss_escape_literal(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        out += c;
        if (c == L'\'') {
            out += L'\'';
        } else if (c == L'\\' && i + 1 < text.size() &&
                   (text[i + 1] == L'\n' ||
                    (text[i + 1] == L'\r' && i + 2 < text.size() && text[i + 2] == L'\n'))) {
            out += L"\\\n";
        }
    }
    return out;
}
