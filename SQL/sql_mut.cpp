// The user's edits of source tables, for a MySQL destination.
#include "SQL/sql_mut.h"

#include "SQL/sql_util.h"
#include "UDB/udb_schema.h"

tk_yaml_config types_map;
tk_yaml_config types_props;

VARTYPE sql_native_type::vartype_of(const std::wstring& type, std::uint64_t& length) {
    auto size = static_cast<int64_t>(length);
    const VARTYPE vt = get_vartype_of_native_type(type, size);
    length = static_cast<std::uint64_t>(size);
    return vt;
}

std::wstring sql_native_type::type_name_of(const t_ftd& column) {
    return get_sql_native_type2(column, true);
}

std::wstring sql_native_type::default_of(const t_ftd& column) {
    return make_mysql_def_val(&column);
}

std::wstring sql_native_type::full_text(const sql_native_type& type) {
    return get_sql_native_type1(type.type, static_cast<int64_t>(type.length), type.scale,
                                type.precision);
}
