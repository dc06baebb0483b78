// Matching the fields of a source record with the columns of a MySQL table.
#include "SQL/sql_ffnd.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "UDB/udb_field.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"

sql_field_finder::sql_field_finder(const udb_record& record) {
    tk_log_message(2, "sql_field_finder::ctor");
    validator.reset(tk_singleton<sql_engine>::ref().create_fn_validator(record));
    initialize(record);
}

sql_field_finder::~sql_field_finder() = default;

void sql_field_finder::initialize(const udb_record& record) {
    tk_log_message(2, "sql_field_finder::initialize");
    names.clear();
    for (const auto& field : record) {
        const std::wstring source = field ? field->name : std::wstring();
        std::wstring dest = source;
        if (!validator->is_acceptable(source)) {
            dest = validator->get_safe_name(source);
            tk_log_wmessage(2, L"GOT SAFE NAME: %ls->%ls", source.c_str(), dest.c_str());
            validator->add_existing_name(dest);
        }
        names.push_back(dest);
        validator->restricted_words.push_back(dest);
    }
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
