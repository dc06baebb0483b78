// The "Type Mappings" text.
#include "converter/vlm_tmap.h"

#include "MSS/mss_tnam.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_prof.h"

#include <cwchar>
#include <map>
#include <set>

namespace {

const wchar_t* const section = L"Type Mappings";

bool begins(const std::wstring& line, const wchar_t* prefix) {
    return tk_wstring::starts_with(line, prefix, true);
}

std::wstring rest_trimmed(const std::wstring& line, const wchar_t* prefix) {
    std::wstring rest = line.substr(std::wcslen(prefix));
    return tk_wstring::trim(rest);
}

// A decimal number as the C library's atoi reads it: leading blanks and a sign, up to the first
// other character; no digits give 0.
std::int32_t read_number(const std::wstring& text) {
    return static_cast<std::int32_t>(std::wcstol(text.c_str(), nullptr, 10));
}

// "key: value" into the map when the line splits into exactly two parts at ':'.
void read_property(const std::wstring& line, udb_property_map& properties) {
    std::vector<std::wstring> parts;
    tk_wstring::split(line, L':', parts);
    if (parts.size() != 2) {
        return;
    }
    properties[tk_wstring::trim(parts[0])] = tk_wstring::trim(parts[1]);
}

struct field_record {
    std::wstring new_name;
    sql_native_type type;
};

struct table_record {
    std::wstring new_name;
    std::map<std::wstring, field_record, udb_utf16_less> fields;
    std::set<std::wstring, udb_utf16_less> deleted;
    udb_property_map properties;
};

} // namespace

bool udb_db_mutator_store(sql_db_mutator& mutators, udb_profile& profile) {
    profile.add_line(section, L"database:");
    for (const auto& [key, value] : mutators.get_properties()) {
        profile.add_line(section, L"  " + key + L": " + value);
    }
    profile.add_line(section, L"tables:");
    for (const auto& [name, table] : mutators.table_mutators) {
        profile.add_line(section, L"  - name: " + name);
        profile.add_line(section, L"    new_name: " + table->new_name);
        profile.add_line(section, L"    fields:");
        for (const auto& [field_name, field] : table->field_mutators) {
            const sql_native_type& nt = field->native_type;
            profile.add_line(section, L"      - name:" + field_name);
            profile.add_line(section, L"        new_name: " + field->new_name);
            profile.add_line(
                section, std::wstring(L"        status: ") +
                             (field->status == udb_mutators::deleted ? L"deleted" : L"changed"));
            profile.add_line(section, L"        type: " + nt.type);
            profile.add_line(section, L"        default_value: " + nt.default_value);
            profile.add_line(section, L"        character_set: " + nt.character_set);
            profile.add_line(section,
                             L"        length: " + std::to_wstring(static_cast<std::int32_t>(
                                                       static_cast<std::uint32_t>(nt.length))));
            profile.add_line(section, L"        scale: " + std::to_wstring(nt.scale));
            profile.add_line(section, L"        precision: " + std::to_wstring(nt.precision));
        }
        const udb_property_map& properties = table->get_properties();
        if (!properties.empty()) {
            profile.add_line(section, L"    properties:");
            for (const auto& [key, value] : properties) {
                profile.add_line(section, L"        " + key + L": " + value);
            }
        }
    }
    return true;
}

bool udb_db_mutator_load(sql_db_mutator& mutators, udb_profile& profile) {
    tk_log_message(2, "udb_db_mutator::load");
    mutators.clear();
    const std::vector<std::wstring> lines = profile.get_lines(section);
    if (lines.empty()) {
        return true;
    }

    std::size_t i = 0;
    if (lines[0] == L"database:") {
        for (i = 1; i < lines.size() && begins(lines[i], L"  "); ++i) {
            read_property(lines[i], mutators.properties);
        }
    }
    if (i >= lines.size()) {
        return true;
    }
    if (lines[i] != L"tables:") {
        tk_log_wmessage(1, L"Skipping %ls", lines[i].c_str());
        return true;
    }

    // -1 before the first table header; then 0 after a table header, 1 after its new name, 2
    // after "fields:", 3 after a field header, 4 after a field attribute, 5 in a properties block.
    int state = -1;
    std::wstring table;
    std::wstring field;
    std::map<std::wstring, table_record, udb_utf16_less> records;
    for (++i; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        tk_log_wmessage(1, L"Processing '%ls'", line.c_str());
        if (line.empty()) {
            continue;
        }
        if (begins(line, L"  - name:")) {
            table = rest_trimmed(line, L"  - name:");
            field.clear();
            state = 0;
            continue;
        }
        if (state < 0) {
            return false;
        }
        if (begins(line, L"    properties:")) {
            state = 5;
            continue;
        }
        if (state == 5 && begins(line, L"        ")) {
            read_property(line, records[table].properties);
            continue;
        }
        if (begins(line, L"    new_name:")) {
            if (state != 0) {
                return false;
            }
            records[table].new_name = rest_trimmed(line, L"    new_name:");
            tk_log_wmessage(1, L"tm_new_table_name=%ls", records[table].new_name.c_str());
            state = 1;
            continue;
        }
        if (begins(line, L"    fields:")) {
            if (state == 2 || state == 5) {
                return false;
            }
            field.clear();
            state = 2;
            continue;
        }
        if (begins(line, L"      - name:")) {
            if (state != 2 && state != 3 && state != 4) {
                return false;
            }
            field = rest_trimmed(line, L"      - name:");
            state = 3;
            continue;
        }
        if (state != 3 && state != 4) {
            return false;
        }
        table_record& record = records[table];
        field_record& attributes = record.fields[field];
        if (begins(line, L"        new_name:")) {
            attributes.new_name = rest_trimmed(line, L"        new_name:");
        } else if (begins(line, L"        status:")) {
            if (rest_trimmed(line, L"        status:") == L"deleted") {
                record.deleted.insert(field);
            }
        } else if (begins(line, L"        type:")) {
            attributes.type.type = rest_trimmed(line, L"        type:");
        } else if (begins(line, L"        default_value:")) {
            attributes.type.default_value = rest_trimmed(line, L"        default_value:");
        } else if (begins(line, L"        character_set:")) {
            attributes.type.character_set = rest_trimmed(line, L"        character_set:");
        } else if (begins(line, L"        length:")) {
            // Widened with its sign, as the text was written from the low 32 bits.
            attributes.type.length = static_cast<std::uint64_t>(
                static_cast<std::int64_t>(read_number(rest_trimmed(line, L"        length:"))));
        } else if (begins(line, L"        scale:")) {
            attributes.type.scale = read_number(rest_trimmed(line, L"        scale:"));
        } else if (begins(line, L"        precision:")) {
            attributes.type.precision = read_number(rest_trimmed(line, L"        precision:"));
        } else {
            return false;
        }
        state = 4;
    }

    for (auto& [written, record] : records) {
        // Kept under the run's form of the name, so that "dbo.T" and "[dbo].[T]" both find T.
        std::wstring owner;
        std::wstring table;
        const std::wstring name = mss_parse_tab_name(written, owner, table) && !owner.empty()
                                      ? mss_format_tab_name(owner, table)
                                      : written;
        const std::wstring new_name = record.new_name.empty() ? name : record.new_name;
        sql_table_mutator* tm = mutators.get_table_mutator2(name, new_name);
        for (auto& [field_name, attributes] : record.fields) {
            const std::wstring field_new =
                attributes.new_name.empty() ? field_name : attributes.new_name;
            sql_field_mutator* fm = tm->update_field(field_name, field_new, attributes.type);
            if (record.deleted.count(field_name) != 0) {
                fm->status = udb_mutators::deleted;
            }
        }
        for (const auto& [key, value] : record.properties) {
            tm->properties[key] = value;
        }
    }
    return true;
}
