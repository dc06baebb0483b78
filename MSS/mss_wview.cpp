// The MS SQL writer: views, their MySQL texts rewritten for T-SQL.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_icmp.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_vali.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_qchk.h"

#include <cwctype>

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

enum class rewrite { introducer, now, isnull, from_unixtime, curdate, curtime };

struct keyword {
    const wchar_t* word;
    rewrite effect;
};

constexpr keyword keywords[] = {
    {L"_cp", rewrite::introducer},    {L"_utf", rewrite::introducer},
    {L"_latin", rewrite::introducer}, {L"now", rewrite::now},
    {L"isnull", rewrite::isnull},     {L"from_unixtime", rewrite::from_unixtime},
    {L"curdate", rewrite::curdate},   {L"curtime", rewrite::curtime},
};

} // namespace

std::wstring mss_database::refine_view(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    bool in_quote = false;
    bool opening = true;
    int depth = 0;
    bool word_start = false;
    bool skipping = false;
    std::wstring suffix;
    int suffix_depth = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (!opening) {
            // Inside a backquoted name, which becomes a bracketed one: its quotes are letters,
            // a "]" is doubled and a doubled backquote is one.
            if (c == L'`' && i + 1 < text.size() && text[i + 1] == L'`') {
                out += c;
                ++i;
            } else if (c == L'`') {
                out += L']';
                opening = true;
            } else {
                out += c == L']' ? L"]]" : std::wstring(1, c);
            }
            continue;
        }
        if (c == L'\'') {
            out += c;
            in_quote = !in_quote;
            if (in_quote) {
                skipping = false;
            }
            continue;
        }
        if (in_quote) {
            out += c;
            continue;
        }
        if (c == L'`') {
            out += L'[';
            opening = false;
            continue;
        }
        bool separator = false;
        if (c == L'(') {
            ++depth;
            skipping = false;
            separator = true;
        } else if (c == L')') {
            --depth;
            if (!suffix.empty() && depth == suffix_depth) {
                out += suffix;
                tk_log_wmessage(1, L"After adding suffix: '%ls'", out.c_str());
                suffix.clear();
                continue;
            }
        } else if (c == L' ' || c == L',') {
            separator = true;
        }
        if (separator) {
            if (!skipping) {
                out += c;
            }
            word_start = true;
            continue;
        }
        if (word_start && i + 3 < text.size()) {
            word_start = false;
            bool matched = false;
            for (const keyword& k : keywords) {
                if (icomparer(k.word).compare(text, i) != 0) {
                    continue;
                }
                matched = true;
                skipping = true;
                switch (k.effect) {
                case rewrite::introducer:
                    break;
                case rewrite::now:
                    out += L"getdate";
                    break;
                case rewrite::isnull:
                    suffix = L") is null";
                    suffix_depth = depth;
                    break;
                case rewrite::from_unixtime:
                    out += L"DateAdd(ss,";
                    suffix = L"),'01-01-1970')";
                    suffix_depth = depth;
                    break;
                case rewrite::curdate:
                    out += L"cast";
                    suffix = L"getdate() as date)";
                    suffix_depth = depth;
                    break;
                case rewrite::curtime:
                    out += L"convert";
                    suffix = L"time, getdate())";
                    suffix_depth = depth;
                    break;
                }
                break;
            }
            if (matched) {
                continue;
            }
        }
        if (!skipping) {
            out += c;
        }
        word_start = false;
    }
    tk_wstring::replace_all(out, L"IFNULL", L"ISNULL");
    tk_wstring::replace_all(out, L"ifnull", L"isnull");
    return out;
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
