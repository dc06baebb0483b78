// MySQL identifier rules: the family for servers from 4.1 on and the family for older servers,
// with one class per kind of name.
#include "UDB/sql_vali.h"

#include "UDB/udb_field.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_schema.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/nls.h"

// clang-format off
const wchar_t* const sql_old_reserved_words[sql_old_reserved_count + 1] = {
    L"add", L"all", L"alter", L"and", L"as", L"asc", L"between", L"bigint", L"binary", L"blob",
    L"both", L"by", L"cascade", L"case", L"char", L"character", L"change", L"column", L"columns",
    L"constraint", L"create", L"cross", L"current_date", L"current_time", L"current_timestamp",
    L"database", L"databases", L"day_hour", L"day_minute", L"day_second", L"dec", L"decimal",
    L"default", L"delayed", L"delete", L"desc", L"describe", L"distinct", L"distinctrow",
    L"double", L"drop", L"else", L"escaped", L"enclosed", L"explain", L"exists", L"fields",
    L"float", L"float4", L"float8", L"foreign", L"from", L"for", L"grant", L"group", L"having",
    L"high_priority", L"hour_minute", L"hour_second", L"ignore", L"in", L"index", L"infile",
    L"inner", L"insert", L"insert_id", L"int", L"int1", L"int2", L"int3", L"int4", L"int8",
    L"integer", L"interval", L"into", L"if", L"is", L"join", L"key", L"keys", L"kill",
    L"last_insert_id", L"leading", L"left", L"like", L"lines", L"limit", L"load", L"lock",
    L"long", L"longblob", L"longtext", L"low_priority", L"match", L"mediumblob", L"mediumtext",
    L"mediumint", L"middleint", L"minute_second", L"natural", L"numeric", L"not", L"null", L"on",
    L"optimize", L"option", L"optionally", L"or", L"order", L"outer", L"outfile", L"partial",
    L"precision", L"primary", L"procedure", L"privileges", L"read", L"real", L"regexp", L"rename",
    L"replace", L"restrict", L"returns", L"revoke", L"rlike", L"select", L"set", L"show",
    L"smallint", L"soname", L"sql_big_tables", L"sql_big_selects", L"sql_low_priority_updates",
    L"sql_log_off", L"sql_log_update", L"sql_select_limit", L"sql_small_result",
    L"sql_big_result", L"sql_warnings", L"straight_join", L"starting", L"table", L"tables",
    L"terminated", L"then", L"tinyblob", L"tinytext", L"tinyint", L"trailing", L"to", L"usage",
    L"use", L"using", L"unique", L"unlock", L"unsigned", L"update", L"values", L"varchar",
    L"varying", L"varbinary", L"with", L"write", L"when", L"where", L"year_month", L"zerofill",
    L""};
// clang-format on

namespace {

constexpr std::int32_t mysql_max_name = 64;

bool is_old_name_char(wchar_t c) {
    return IsCharAlphaNumericW(c) || c == L'_' || c == L'$';
}

bool is_decimal_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool all_decimal_digits(const std::wstring& name) {
    for (wchar_t c : name) {
        if (!is_decimal_digit(c)) {
            return false;
        }
    }
    return true;
}

template <class Validator> void take_record_names(Validator& v, const udb_record& record) {
    for (std::size_t i = 0; i < record.size(); ++i) {
        tk_log_message(1, "Process record[%d]", static_cast<int>(i));
        if (record[i]) {
            v.add_existing_name(record[i]->name);
        }
    }
}

template <class Validator> void take_schema_names(Validator& v, const udb_schema& schema) {
    for (std::size_t i = 0; i < schema.size(); ++i) {
        tk_log_message(1, "Process schema[%d]", static_cast<int>(i));
        if (schema[i]) {
            v.add_existing_name(schema[i]->name);
        }
    }
}

template <class Validator> void take_index_names(Validator& v, const udb_indexes& indexes) {
    for (const udb_index& index : indexes) {
        v.add_existing_name(index.name);
    }
}

template <class Validator>
void take_table_names(Validator& v, const std::vector<std::wstring>& names1,
                      const std::vector<std::wstring>& names2) {
    for (const std::wstring& name : names1) {
        v.add_existing_name(name);
    }
    for (const std::wstring& name : names2) {
        v.add_existing_name(name);
    }
}

} // namespace

sql_new_validator::sql_new_validator(bool all_chars) : udb_validator(mysql_max_name) {
    const std::size_t count = all_chars ? sql_new_illegal_count_all : sql_new_illegal_count_fields;
    illegal_chars.assign(sql_new_illegal_chars, sql_new_illegal_chars + count);
    tk_log_message(2, "sql_new_validator::ctor");
}

bool sql_new_validator::is_acceptable(const std::wstring& name) const {
    tk_log_wmessage(2, L"sql_new_validator::is_acceptable(%ls)", name.c_str());
    if (name.empty() || name.size() > static_cast<std::size_t>(mysql_max_name)) {
        tk_log_message(1, "Invalid length");
        return false;
    }
    if (name.front() == L' ' || name.back() == L' ') {
        tk_log_message(1, "ID cannot starts or ends with ' '");
        return false;
    }
    return udb_validator::is_acceptable(name);
}

std::wstring sql_new_validator::get_safe_name(const std::wstring& name) const {
    tk_log_wmessage(2, L"sql_new_validator::get_safe_name(%ls)", name.c_str());
    return udb_validator::get_safe_name(tk_wtrim(name));
}

sql_new_fn_validator::sql_new_fn_validator(const udb_record& record) : sql_new_validator(false) {
    tk_log_message(2, "sql_new_fn_validator::ctor( const udb_record& )");
    tk_log_message(2, "Record size=%d", static_cast<int>(record.size()));
    take_record_names(*this, record);
    tk_log_message(1, "sql_new_fn_validator::ctor - end");
}

sql_new_fn_validator::sql_new_fn_validator(const udb_schema& schema) : sql_new_validator(false) {
    tk_log_message(2, "sql_new_fn_validator::ctor( const udb_schema& )");
    tk_log_message(2, "Schema size=%d", static_cast<int>(schema.size()));
    take_schema_names(*this, schema);
    tk_log_message(1, "sql_new_fn_validator::ctor - end");
}

sql_new_in_validator::sql_new_in_validator(const udb_indexes& indexes) : sql_new_validator(false) {
    tk_log_message(2, "sql_new_in_validator::ctor");
    take_index_names(*this, indexes);
}

sql_new_tn_validator::sql_new_tn_validator(const std::vector<std::wstring>& names1,
                                           const std::vector<std::wstring>& names2)
    : sql_new_validator(true) {
    tk_log_message(2, "sql_new_tn_validator::ctor");
    take_table_names(*this, names1, names2);
}

sql_old_validator::sql_old_validator() : udb_validator(mysql_max_name) {
    for (const wchar_t* const* word = sql_old_reserved_words; *word != nullptr && **word != L'\0';
         ++word) {
        restricted_words.emplace_back(*word);
    }
    tk_log_message(2, "sql_old_validator::ctor");
}

bool sql_old_validator::old_rules_accept(const std::wstring& name) const {
    if (!udb_validator::is_acceptable(name)) {
        return false;
    }
    for (wchar_t c : name) {
        if (!is_old_name_char(c)) {
            tk_log_wmessage(2, L"Name contains invalid symbol: '%lc'", static_cast<wint_t>(c));
            return false;
        }
    }
    if (all_decimal_digits(name)) {
        tk_log_message(2, "Name consists of digits only");
        return false;
    }
    return true;
}

bool sql_old_validator::is_acceptable(const std::wstring& name) const {
    tk_log_wmessage(2, L"sql_old_validator::is_acceptable(%ls)", name.c_str());
    return old_rules_accept(name);
}

std::wstring sql_old_validator::get_safe_name(const std::wstring& name) const {
    tk_log_wmessage(2, L"sql_old_validator::get_safe_name(%ls)", name.c_str());
    std::wstring result = name;
    for (wchar_t& c : result) {
        if (!is_old_name_char(c)) {
            c = L'_';
        }
    }
    // An empty name can never be made acceptable by a counter alone (digits only), so it
    // starts from "_" like a name of digits.
    if (result.empty()) {
        result = L"_";
    } else if (all_decimal_digits(result)) {
        result[0] = L'_';
    }
    return udb_validator::get_safe_name(result);
}

sql_old_fn_validator::sql_old_fn_validator(const udb_record& record) {
    tk_log_message(2, "sql_old_fn_validator::ctor( const udb_record& )");
    tk_log_message(2, "Record size=%d", static_cast<int>(record.size()));
    take_record_names(*this, record);
    tk_log_message(1, "sql_old_fn_validator::ctor - end");
}

sql_old_fn_validator::sql_old_fn_validator(const udb_schema& schema) {
    tk_log_message(2, "sql_old_fn_validator::ctor( const udb_schema& )");
    tk_log_message(2, "Schema size=%d", static_cast<int>(schema.size()));
    take_schema_names(*this, schema);
    tk_log_message(1, "sql_old_fn_validator::ctor - end");
}

sql_old_in_validator::sql_old_in_validator(const udb_indexes& indexes) {
    tk_log_message(2, "sql_old_in_validator::ctor");
    take_index_names(*this, indexes);
}

sql_old_tn_validator::sql_old_tn_validator(const std::vector<std::wstring>& names1,
                                           const std::vector<std::wstring>& names2) {
    tk_log_message(2, "sql_old_tn_validator::ctor");
    take_table_names(*this, names1, names2);
}

sql_old_dn_validator::sql_old_dn_validator() {
    tk_log_message(2, "sql_old_dn_validator::ctor");
}

bool sql_old_dn_validator::is_acceptable(const std::wstring& name) const {
    tk_log_wmessage(2, L"sql_old_dn_validator::is_acceptable(%ls)", name.c_str());
    tk_log_wmessage(2, L"sql_old_validator::is_acceptable(%ls)", name.c_str());
    if (!old_rules_accept(name)) {
        return false;
    }
    return !is_decimal_digit(name.front());
}
