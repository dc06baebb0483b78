// Matching the fields of a source record with the columns of a MySQL table.
#include "SQL/sql_ffnd.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"

sql_field_finder::sql_field_finder(const udb_record& record) {
    tk_log_message(2, "sql_field_finder::ctor");
    validator.reset(tk_singleton<sql_engine>::ref().create_fn_validator(record));
    initialize(record);
}

sql_field_finder::sql_field_finder(const udb_schema& schema) {
    tk_log_message(2, "sql_field_finder::ctor( const udb_schema& )");
    validator.reset(tk_singleton<sql_engine>::ref().create_fn_validator(schema));
    initialize(schema);
}

sql_field_finder::~sql_field_finder() = default;

void sql_field_finder::initialize(const udb_record& record) {
    tk_log_message(2, "sql_field_finder::initialize");
    names.clear();
    for (const auto& field : record) {
        add_name(field ? field->name : std::wstring());
    }
}

void sql_field_finder::initialize(const udb_schema& schema) {
    tk_log_message(2, "sql_field_finder::initialize( const udb_schema& )");
    names.clear();
    for (const auto& column : schema) {
        add_name(column ? column->name : std::wstring());
    }
}

void sql_field_finder::add_name(const std::wstring& source) {
    std::wstring dest = source;
    if (!validator->is_acceptable(source)) {
        dest = validator->get_safe_name(source);
        tk_log_wmessage(2, L"GOT SAFE NAME: %ls->%ls", source.c_str(), dest.c_str());
        validator->add_existing_name(dest);
    }
    names.push_back(dest);
    validator->restricted_words.push_back(dest);
}

std::int32_t sql_field_finder::get_field_idx(const std::wstring& name) const {
    tk_log_wmessage(1, L"sql_field_finder::get_field_idx(%ls)", name.c_str());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].size() == name.size() && udb_equal_no_case(names[i], name)) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

bool sql_columns_hold(const udb_schema& source, const udb_schema& table) {
    if (source.size() != table.size()) {
        tk_log_message(2, "Tables are not conformed: src_size=%d, dest_size=%d",
                       static_cast<int>(source.size()), static_cast<int>(table.size()));
        return false;
    }
    const sql_field_finder finder(source);
    std::vector<bool> taken(source.size(), false);
    for (const auto& column : table) {
        const std::int32_t i = column ? finder.get_field_idx(column->name) : -1;
        if (i < 0 || !source[static_cast<std::size_t>(i)] || taken[static_cast<std::size_t>(i)]) {
            tk_log_wmessage(2, L"Column '%ls' takes no source column of its own",
                            column ? column->name.c_str() : L"");
            return false;
        }
        taken[static_cast<std::size_t>(i)] = true;
        if (!source[static_cast<std::size_t>(i)]->conform_to(*column)) {
            tk_log_wmessage(2, L"Column '%ls' cannot hold the source's values",
                            column->name.c_str());
            return false;
        }
    }
    return true;
}
