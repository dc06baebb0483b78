// Identifier rules of one destination and one kind of name.
#include "UDB/udb_vali.h"

#include "UDB/udb_util.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

udb_validator::udb_validator(std::int32_t max_len) : max_len(max_len) {
    tk_log_message(2, "udb_validator::ctor");
}

udb_validator::~udb_validator() = default;

bool udb_validator::is_acceptable(const std::wstring& name) const {
    tk_log_wmessage(2, L"udb_validator::is_acceptable(%ls)", name.c_str());
    if (max_len != 0 && name.size() > static_cast<std::size_t>(max_len)) {
        tk_log_message(1, "The name is too long");
        return false;
    }
    for (const std::wstring& word : restricted_words) {
        if (udb_equal_no_case(name, word)) {
            tk_log_message(2, "The name is restricted");
            return false;
        }
    }
    for (wchar_t c : illegal_chars) {
        if (name.find(c) != std::wstring::npos) {
            tk_log_wmessage(2, L"The name contains illegal: %lc", static_cast<wint_t>(c));
            return false;
        }
    }
    return true;
}

bool udb_validator::is_duplicated(const std::wstring& name) const {
    tk_log_wmessage(2, L"udb_validator::is_duplicated(%ls)", name.c_str());
    for (const std::wstring& existing : existing_names) {
        tk_log_wmessage(1, L"Processing %ls", existing.c_str());
        if (udb_equal_no_case(existing, name)) {
            tk_log_message(2, "Name is duplicated");
            return true;
        }
    }
    return false;
}

namespace {

// The C runtime's lower-casing in its default locale: A to Z only.
void to_lower_ascii(std::wstring& text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
}

} // namespace

std::wstring udb_validator::get_safe_name(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_validator::get_safe_name(%ls)", name.c_str());
    std::wstring result = name;
    to_lower_ascii(result);
    if (max_len != 0 && result.size() > static_cast<std::size_t>(max_len)) {
        result.resize(static_cast<std::size_t>(max_len - 1));
    }
    for (wchar_t illegal : illegal_chars) {
        for (wchar_t& c : result) {
            if (c == illegal) {
                c = L'_';
            }
        }
    }
    if (is_acceptable(result) && !is_duplicated(result)) {
        return result;
    }
    // Room for five digits within the limit.
    if (max_len != 0 && result.size() > static_cast<std::size_t>(std::max(max_len - 5, 0))) {
        result.resize(static_cast<std::size_t>(std::max(max_len - 6, 0)));
    }
    const std::size_t stem = result.size();
    for (int n = 0; n <= 99999; ++n) {
        wchar_t digits[8];
        std::swprintf(digits, 8, L"%05d", n);
        result.resize(stem);
        result += digits;
        if (is_acceptable(result) && !is_duplicated(result)) {
            return result;
        }
    }
    throw tk_mail_assertion("udb_vali", 55);
}

void udb_validator::add_existing_name(const std::wstring& name) {
    tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", name.c_str());
    existing_names.push_back(name);
}

void udb_validator::add_mapped_pair(const std::wstring& source, const std::wstring& safe) {
    tk_log_wmessage(1, L"udb_validator::add_mapped_pair(%ls,%ls)", source.c_str(), safe.c_str());
    mapped_pairs.add(source, safe);
}
