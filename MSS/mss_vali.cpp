// Identifier rules of an MS SQL destination.
#include "MSS/mss_vali.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

#include <cwctype>
#include <locale>

namespace {

// Letters of every alphabet, whatever locale the process runs in.
bool is_letter(wchar_t c) {
    static const std::locale unicode = [] {
        try {
            return std::locale("C.UTF-8");
        } catch (const std::runtime_error&) {
            return std::locale();
        }
    }();
    return std::isalpha(c, unicode) || std::iswalpha(static_cast<wint_t>(c)) != 0;
}

} // namespace

mss_validator::mss_validator() : udb_validator(0) {
}

bool mss_validator::is_acceptable(const std::wstring& name) const {
    tk_log_wmessage(1, L"mss_validator::is_acceptable(%ls)", name.c_str());
    if (!udb_validator::is_acceptable(name)) {
        return false;
    }
    tk_log_message(1, "udb_validator::is_acceptable has been passed");
    tk_check(!name.empty(), "mss_vali", 115);
    if (name.front() == L'[' && name.back() == L']') {
        tk_log_message(1, "Names enclosed in [...] are always acceptable");
        return true;
    }
    const wchar_t first = name.front();
    return first == L'_' || is_letter(first);
}

std::wstring mss_validator::get_safe_name(const std::wstring& name) const {
    tk_log_wmessage(1, L"mss_validator::get_safe_name(%ls)", name.c_str());
    static const wchar_t* const prefixes[] = {L"_", L"1", L"_", L"2", L"_", L"3"};
    std::wstring candidate = name;
    for (unsigned pass = 0; is_duplicated(candidate); ++pass) {
        tk_log_message(2, "Duplicate table name was found");
        candidate.insert(0, prefixes[pass % 6]);
    }
    return candidate;
}

mss_fn_validator::mss_fn_validator(const udb_schema& schema) {
    tk_log_message(2, "mss_fn_validator::ctor1");
    for (const auto& column : schema) {
        if (is_acceptable(column->name)) {
            tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", column->name.c_str());
            add_existing_name(column->name);
        }
    }
}

mss_tn_validator::mss_tn_validator(const std::vector<std::wstring>& first,
                                   const std::vector<std::wstring>& second) {
    tk_log_message(1, "mss_tn_validator::ctor");
    for (const auto* list : {&first, &second}) {
        for (const std::wstring& name : *list) {
            tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", name.c_str());
            add_existing_name(name);
        }
    }
}
