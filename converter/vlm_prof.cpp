// Profile sections and keys: which settings a profile file keeps and how they are read back.
#include "converter/vlm_conv.h"

#include "converter/vlm_errh.h"
#include "converter/vlm_tmap.h"
#include "MSS/mss_tnam.h"
#include "SQL/sql_tchk.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_prof.h"
#include "UDB/udb_qchk.h"

#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const wchar_t* const generic = L"Generic settings";
const wchar_t* const mysql_section = L"MySQL settings";
const wchar_t* const mssql_section = L"MS SQL Server settings";

// Rule one: any non-empty value but "0" is true. Empty: unchanged.
void read_flag_any(const udb_profile& profile, const wchar_t* key, bool& flag) {
    const std::wstring value = profile.get_value(generic, key);
    if (!value.empty()) {
        flag = value != L"0";
    }
}

// Rule "1": only "1" is true. Empty: unchanged.
void read_flag_one(const udb_profile& profile, const wchar_t* section, const wchar_t* key,
                   bool& flag) {
    const std::wstring value = profile.get_value(section, key);
    if (!value.empty()) {
        flag = value == L"1";
    }
}

void read_text(const udb_profile& profile, const wchar_t* section, const wchar_t* key,
               std::wstring& text) {
    std::wstring value = profile.get_value(section, key);
    if (!value.empty()) {
        text = std::move(value);
    }
}

// The value of a key the file holds, empty ones included; nothing for a missing key. Settings
// whose empty value means something (every schema, the local server, no login) are read so:
// every version of the wizard writes these keys, so an empty one was the empty setting when the
// profile was saved, never "keep whatever the last session left".
std::optional<std::wstring> find_value(const udb_profile& profile, const wchar_t* section,
                                       const wchar_t* key) {
    const auto pairs = profile.sections.find(section);
    if (pairs == profile.sections.end()) {
        return std::nullopt;
    }
    for (const auto& [name, value] : pairs->second) {
        if (udb_profile_same_name(name, key)) {
            return value;
        }
    }
    return std::nullopt;
}

void read_setting(const udb_profile& profile, const wchar_t* section, const wchar_t* key,
                  std::wstring& setting) {
    if (std::optional<std::wstring> value = find_value(profile, section, key)) {
        setting = std::move(*value);
    }
}

const wchar_t* flag_text(bool flag) {
    return flag ? L"1" : L"0";
}

// Where a "--" starts a comment that runs to the end of its line: outside quoted texts,
// bracketed names and block comments.
std::wstring line_comments_to_block(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 16);
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const wchar_t c = text[i];
        if (c == L'\'' || c == L'"' || c == L'[') {
            const wchar_t close = c == L'[' ? L']' : c;
            std::size_t j = i + 1;
            while (j < n) {
                if (text[j] == close) {
                    if (j + 1 < n && text[j + 1] == close) {
                        j += 2; // a doubled quote or bracket stays inside
                        continue;
                    }
                    break;
                }
                ++j;
            }
            j = j < n ? j + 1 : n;
            out.append(text, i, j - i);
            i = j;
            continue;
        }
        if (c == L'/' && i + 1 < n && text[i + 1] == L'*') {
            // Block comments nest, as SQL Server reads them: a "--" before the outer end is
            // still comment.
            std::size_t j = i;
            std::size_t depth = 0;
            do {
                if (text.compare(j, 2, L"/*") == 0) {
                    ++depth;
                    j += 2;
                } else if (text.compare(j, 2, L"*/") == 0) {
                    --depth;
                    j += 2;
                } else {
                    ++j;
                }
            } while (depth > 0 && j < n);
            out.append(text, i, j - i);
            i = j;
            continue;
        }
        if (c == L'-' && i + 1 < n && text[i + 1] == L'-') {
            std::size_t j = text.find_first_of(L"\r\n", i + 2);
            if (j == std::wstring::npos) {
                j = n;
            }
            std::wstring comment = text.substr(i + 2, j - i - 2);
            // The comment's own "*/" must not end the block early, nor its "/*" open a nested
            // block (SQL Server nests block comments, so the rest of the query would be lost).
            tk_wstring::replace_all(comment, L"*/", L"* /");
            tk_wstring::replace_all(comment, L"/*", L"/ *");
            if (!comment.empty() && comment.back() == L'/') {
                comment += L' '; // "/" and the closing "*/" would read as "/*"
            }
            out += L"/*" + comment + L"*/";
            i = j;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

} // namespace

std::wstring vlm_profile_text(const std::wstring& text) {
    std::wstring out = line_comments_to_block(text);
    tk_wstring::replace_all(out, L"\r\n", L" ");
    tk_wstring::replace_all(out, L"\n", L" ");
    tk_wstring::replace_all(out, L"\r", L" ");
    return out;
}

namespace {

// A profile's queries go to the source and its views to the destination as they stand; a text
// that is more than one SELECT is refused, naming it, before anything of the profile is applied.
void check_queries_and_views(udb_profile& profile) {
    for (const auto& [name, text] : profile.get_selected_tables()) {
        if (!text.empty()) {
            udb_check_single_select(L"Query", name, text);
        }
    }
    for (const auto& [name, text] : profile.get_available_queries()) {
        udb_check_single_select(L"Query", name, text);
    }
    for (const auto& [name, text] : profile.get_selected_views()) {
        udb_check_single_select(L"View", name, text);
    }
}

// A type mapping's type and default go into CREATE TABLE as they stand: anything but a MySQL
// type name with numeric arguments, and a literal or current-time default, is refused, naming
// the table and the column.
void check_type_mappings(const sql_db_mutator& mutators) {
    for (const auto& [table, table_mutator] : mutators.table_mutators) {
        for (const auto& [column, field] : table_mutator->field_mutators) {
            const sql_native_type& type = field->native_type;
            const std::wstring where = L"Table '" + table + L"', column '" + column + L"': ";
            if (!type.type.empty() && !sql_is_mapped_type(type.type)) {
                throw tk_exception(
                    where + L"the type mapping's type '" + type.type + L"' is not a MySQL type", 1);
            }
            if (!sql_is_mapped_default(type.default_value)) {
                throw tk_exception(where + L"the type mapping's default '" + type.default_value +
                                       L"' is not a literal or a current-time function",
                                   1);
            }
        }
    }
}

// The checked type mappings replace the converter's; the database properties are added to its.
void take_type_mappings(sql_db_mutator& converter, sql_db_mutator& mappings) {
    converter.clear();
    converter.table_mutators = std::move(mappings.table_mutators);
    converter.table_mutators_by_new_name = std::move(mappings.table_mutators_by_new_name);
    mappings.clear();
    for (const auto& [key, value] : mappings.properties) {
        converter.properties[key] = value;
    }
}

} // namespace

bool udb_converter::load_profile(udb_profile& profile) {
    tk_log_message(2, "udb_converter::load_profile");
    // A mode outside 0 to 4 would write into an existing destination without any of the modes'
    // rules: refused before anything changes, as the command-line option refuses it.
    const std::wstring mode_text = profile.get_value(generic, L"mode");
    if (!mode_text.empty() &&
        (mode_text.size() != 1 || mode_text[0] < L'0' || mode_text[0] > L'4')) {
        throw tk_exception("Invalid merge/overwrite mode", 1);
    }
    check_queries_and_views(profile);
    // The trace file is the one setting that can still be refused: it comes before any other
    // change, and a refused name leaves the one in use, so a refused profile changes nothing.
    const std::wstring log_text = profile.get_value(generic, L"logfile");
    if (!log_text.empty()) {
        const std::string name = tk_to_string(log_text, -1);
        tk_log_message(2, "Logfile=%s", name.c_str());
        const std::string kept = log_file;
        try {
            set_logfile(name);
        } catch (...) {
            log_file = kept;
            throw;
        }
    }

    for (const auto& [key, value] : profile.get_selected_tables()) {
        if (value.empty()) {
            tk_log_wmessage(2, L"Loading table '%ls'", key.c_str());
        } else {
            tk_log_wmessage(2, L"Loading query '%ls'", key.c_str());
        }
        selected_queries.emplace_back(key, value);
    }
    for (const auto& pair : profile.get_available_queries()) {
        available_queries.push_back(pair);
    }
    for (const auto& pair : profile.get_selected_views()) {
        selected_views.push_back(pair);
    }

    std::wstring value = profile.get_value(generic, L"src");
    if (!value.empty()) {
        src = value;
        tk_log_wmessage(2, L"source='%ls'", src.c_str());
    }
    value = profile.get_value(generic, L"dest");
    if (!value.empty()) {
        dest = value;
        tk_log_wmessage(2, L"dest='%ls'", dest.c_str());
    }
    read_flag_any(profile, L"only definitions", tab_def);
    if (!mode_text.empty()) {
        mode = mode_text[0] - L'0';
    }
    read_flag_any(profile, L"skip indexes", skip_idx);
    return true;
}

bool udb_converter::store_profile(udb_profile& profile, bool with_selection) {
    tk_log_message(2, "udb_converter::store_profile");
    for (const auto& [name, text] : available_queries) {
        tk_log_wmessage(2, L"Available Query: (%ls,%ls)", name.c_str(), text.c_str());
        profile.set_value(L"Available Queries", name, vlm_profile_text(text));
    }
    if (with_selection) {
        for (const auto& [name, text] : selected_queries) {
            tk_log_wmessage(2, L"Selected Query: (%ls,%ls)", name.c_str(), text.c_str());
            profile.set_value(L"Selected Tables", name, vlm_profile_text(text));
        }
    }
    // The views a run leaves out are no part of what the profile repeats.
    for (const auto& [name, text] : convert_views ? selected_views : std::vector<udb_view>{}) {
        tk_log_wmessage(2, L"Selected View: (%ls,%ls)", name.c_str(), text.c_str());
        profile.set_value(L"Selected Views", name, vlm_profile_text(text));
    }
    profile.set_value(generic, L"src", src);
    profile.set_value(generic, L"dest", dest);
    profile.set_value(generic, L"logfile", vlm_display_wide(log_file));
    profile.set_value(generic, L"skip indexes", flag_text(skip_idx));
    profile.set_value(generic, L"only definitions", flag_text(tab_def));
    profile.set_value(generic, L"mode", std::wstring(1, static_cast<wchar_t>(L'0' + mode)));
    return true;
}

bool mysql_converter_impl::load_profile(udb_profile& profile) {
    tk_log_message(2, "mysql_converter_impl::load_profile");
    host = tk_to_utf8(profile.get_value(mysql_section, L"host"));
    if (const std::optional<std::wstring> value = find_value(profile, mysql_section, L"user")) {
        user = tk_to_utf8(*value);
    }
    pswd = tk_to_utf8(profile.get_value(mysql_section, L"password"));
    std::wstring value = profile.get_value(mysql_section, L"port");
    if (!value.empty()) {
        port = tk_to_utf8(value);
    }
    value = profile.get_value(mysql_section, L"dump line break");
    if (!value.empty()) {
        dump_opts.line_breaks = value == L"1" ? 1 : 0;
    }
    read_flag_one(profile, mysql_section, L"dump new version", dump_opts.new_version);
    read_flag_one(profile, mysql_section, L"dump add lock to insert", dump_opts.lock_tables);
    read_flag_one(profile, mysql_section, L"dump insert comments", dump_opts.comments);
    read_flag_one(profile, mysql_section, L"dump create database", dump_opts.create_database);
    read_flag_one(profile, mysql_section, L"dump create table", dump_opts.create_tables);
    return true;
}

bool mysql_converter_impl::store_profile(udb_profile& profile) {
    tk_log_message(2, "mysql_converter_impl::store_profile");
    profile.set_value(mysql_section, L"host", tk_utf8_to_wstring(host));
    profile.set_value(mysql_section, L"user", tk_utf8_to_wstring(user));
    profile.set_value(mysql_section, L"password", tk_utf8_to_wstring(pswd));
    profile.set_value(mysql_section, L"port", tk_utf8_to_wstring(port));
    profile.set_value(mysql_section, L"dump line break", flag_text(dump_opts.line_breaks == 1));
    profile.set_value(mysql_section, L"dump new version", flag_text(dump_opts.new_version));
    profile.set_value(mysql_section, L"dump add lock to insert", flag_text(dump_opts.lock_tables));
    profile.set_value(mysql_section, L"dump insert comments", flag_text(dump_opts.comments));
    profile.set_value(mysql_section, L"dump create database", flag_text(dump_opts.create_database));
    profile.set_value(mysql_section, L"dump create table", flag_text(dump_opts.create_tables));
    return true;
}

bool mssql_converter_impl::load_profile(udb_profile& profile) {
    tk_log_message(2, "mssql_converter_impl::load_profile");
    read_setting(profile, mssql_section, L"server", mssqlh);
    read_setting(profile, mssql_section, L"login", mssqlu);
    read_setting(profile, mssql_section, L"password", mssqlp);
    read_flag_one(profile, mssql_section, L"windows authentication", sec_log);
    bool dbo = as_dbo;
    read_flag_one(profile, mssql_section, L"connect as DBO", dbo);
    if (dbo != as_dbo) {
        set_as_dbo(dbo);
    }
    // An empty schema is Full Replication, as the wizard saves it.
    read_setting(profile, mssql_section, L"schema", mss_schema);
    tk_log_wmessage(1, L"mss_schema=%ls", mss_schema.c_str());
    read_flag_one(profile, mssql_section, L"dump insert comments", mss_dump_opts.flag2);
    read_flag_one(profile, mssql_section, L"dump create database", mss_dump_opts.flag3);
    read_flag_one(profile, mssql_section, L"dump create table", mss_dump_opts.flag4);
    return true;
}

bool mssql_converter_impl::store_profile(udb_profile& profile) {
    tk_log_message(2, "mssql_converter_impl::store_profile");
    profile.set_value(mssql_section, L"server", mssqlh);
    profile.set_value(mssql_section, L"login", mssqlu);
    profile.set_value(mssql_section, L"password", mssqlp);
    profile.set_value(mssql_section, L"windows authentication", flag_text(sec_log));
    profile.set_value(mssql_section, L"connect as DBO", flag_text(as_dbo));
    profile.set_value(mssql_section, L"schema", mss_schema);
    profile.set_value(mssql_section, L"dump insert comments", flag_text(mss_dump_opts.flag2));
    profile.set_value(mssql_section, L"dump create database", flag_text(mss_dump_opts.flag3));
    profile.set_value(mssql_section, L"dump create table", flag_text(mss_dump_opts.flag4));
    return true;
}

bool apply_profile(velmora_convertor& converter, udb_profile& profile) {
    // A profile applies whole or not at all: the type mappings are read and checked aside, and
    // the parts refuse their settings before they change anything.
    sql_db_mutator mappings;
    if (!udb_db_mutator_load(mappings, profile)) {
        return false;
    }
    check_type_mappings(mappings);
    converter.udb_converter::load_profile(profile);
    converter.mysql_converter_impl::load_profile(profile);
    converter.mssql_converter_impl::load_profile(profile);
    take_type_mappings(converter, mappings);
    bool flag = converter.view_owned;
    read_flag_one(profile, generic, L"view owned", flag);
    converter.set_view_owned(flag);
    read_flag_one(profile, mysql_section, L"direct mode", converter.direct);
    // The wizard runs a profile's views as the profile says, whatever its own box said last.
    // A profile of an older version, which did not keep the box, selects views only when they
    // were converted (its views page was shown only then). The console agent converts views
    // only on its own option.
    if (converter.program == vlm_program::wizard) {
        if (find_value(profile, generic, L"convert views")) {
            read_flag_one(profile, generic, L"convert views", converter.convert_views);
        } else if (!profile.get_selected_views().empty()) {
            converter.convert_views = true;
        }
    }
    read_text(profile, generic, L"character set", converter.sql->charset);
    read_text(profile, generic, L"storage engine", converter.sql->storage_engine);
    for (auto& [name, text] : converter.selected_queries) {
        tk_log_wmessage(2, L"%ls->%ls", name.c_str(), text.c_str());
        if (!text.empty()) {
            continue;
        }
        std::wstring table;
        std::wstring owner;
        // A name that does not read as one table stays as written: the run reports it missing.
        if (mss_parse_tab_name(name, owner, table)) {
            tk_log_wmessage(2, L"tab_name=%ls, owner=%ls", table.c_str(), owner.c_str());
            name =
                owner.empty() ? mss_list_tab_name(owner, table) : mss_format_tab_name(owner, table);
        }
    }
    return true;
}

bool load_profile_file(velmora_convertor& converter, const std::wstring& path) {
    udb_profile profile;
    if (!profile.load(path)) {
        return false;
    }
    return apply_profile(converter, profile);
}

bool velmora_convertor::store_profile(udb_profile& profile) {
    tk_log_message(2, "velmora_convertor::store_profile");
    // The selection is written in its file form and stays as it is: storing the settings must
    // not change what a later store or run would see.
    const auto store_table = [&profile](const std::wstring& name) {
        std::wstring table;
        std::wstring owner;
        mss_split_tab_name(name, table, owner);
        tk_log_wmessage(2, L"tab_name=%ls, owner=%ls", table.c_str(), owner.c_str());
        // A plain name holding "=" would read back as a query's name and text; in brackets it
        // reads back as the table.
        std::wstring listed = mss_list_tab_name(owner, table);
        if (listed.find(L'=') != std::wstring::npos) {
            listed = mss_format_tab_name(owner, table);
        }
        profile.set_value(L"Selected Tables", listed, L"");
    };
    for (const auto& [name, text] : selected_queries) {
        if (text.empty()) {
            store_table(name);
        } else {
            profile.set_value(L"Selected Tables", name, vlm_profile_text(text));
        }
    }
    // The tables a page listed apart come after the queries, as a run takes them.
    for (const std::wstring& name : selected_tables) {
        store_table(name);
    }
    if (!udb_converter::store_profile(profile, false) ||
        !mysql_converter_impl::store_profile(profile) ||
        !mssql_converter_impl::store_profile(profile)) {
        return false;
    }
    profile.set_value(generic, L"view owned", flag_text(view_owned));
    profile.set_value(mysql_section, L"direct mode", flag_text(direct));
    profile.set_value(generic, L"convert views", flag_text(convert_views));
    profile.set_value(generic, L"character set", sql->charset);
    profile.set_value(generic, L"storage engine", sql->storage_engine);
    return true;
}

bool save_profile_file(velmora_convertor& converter, const std::wstring& path) {
    udb_profile profile;
    if (!converter.store_profile(profile) || !udb_db_mutator_store(converter, profile)) {
        return false;
    }
    return profile.store(path);
}
