// The user's edits of source tables, for a MySQL destination: the destination type of a column
// and the mutator classes over the MySQL classes.
#pragma once

#include "SQL/sql_db.h"
#include "TK/tk_yaml.h"
#include "UDB/udb_mut.h"

#include <cstdint>
#include <string>

class t_ftd;

// The destination type of one column as the user's edits hold it.
struct sql_native_type {
    std::wstring type;          // the MySQL type name without size ("VARCHAR", "DECIMAL", "INT")
    std::wstring default_value; // the MySQL DEFAULT text; empty when there is none
    std::wstring character_set; // carried through the dialog and the profile only
    std::uint64_t length = 0;   // characters of CHAR and VARCHAR, bytes of fixed-size types
    std::int32_t scale = 0;     // digits after the point of a DECIMAL
    std::int32_t precision = 0; // total digits of a DECIMAL

    // What the mutator templates ask of a destination type (see UDB/udb_mut.h).
    static VARTYPE vartype_of(const std::wstring& type, std::uint64_t& length);
    static std::wstring type_name_of(const t_ftd& column);
    static std::wstring default_of(const t_ftd& column);
    static std::wstring full_text(const sql_native_type& type);
};

// The names of the type-mapping files.
inline constexpr char sql_map[] = "sql.map";
inline constexpr char sql_typ[] = "sql.typ";

class sql_field_mutator : public udb_field_mutator<sql_field, sql_native_type> {
public:
    using udb_field_mutator::udb_field_mutator;
};

class sql_table_mutator : public udb_table_mutator<sql_field_mutator> {
public:
    using udb_table_mutator::udb_table_mutator;
};

class sql_db_mutator : public udb_db_mutator<sql_table_mutator, sql_map, sql_typ> {
public:
    using udb_db_mutator::udb_db_mutator;
};

// The type-mapping tables, empty until the type-mapping dialog loads them: a type name to the
// names its columns may change to (from sql_map), and a type name to its size properties among
// "LENGTH", "SCALE" and "PRECISION" (from sql_typ).
extern tk_yaml_config types_map;
extern tk_yaml_config types_props;
