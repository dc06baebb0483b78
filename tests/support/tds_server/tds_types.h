// tds_types: the SQL Server column types the test server serves, their TYPE_INFO and the wire
// encoding of values, as the TDS protocol documentation gives them.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

enum class tds_type_kind {
    bit,
    tinyint,
    smallint,
    int_,
    bigint,
    decimal,
    numeric,
    money,
    smallmoney,
    real,
    float_,
    date,
    time,
    smalldatetime,
    datetime,
    datetime2,
    datetimeoffset,
    char_,
    varchar,
    nchar,
    nvarchar,
    text,
    ntext,
    binary,
    varbinary,
    image,
    uniqueidentifier,
    xml,
    geometry,
    geography,
    hierarchyid,
    sql_variant,
    rowversion,
};

// A collation as TDS carries it (LCID, flags and version in four bytes, then the sort id) and the
// code page its single-byte text is stored in (65001 for the UTF-8 collations).
struct tds_collation {
    std::string name;
    std::array<std::uint8_t, 5> bytes{};
    int code_page = 1252;
};

// Looks a collation up by its SQL Server name; throws std::invalid_argument for unknown names.
tds_collation tds_find_collation(std::string_view name);
tds_collation tds_default_collation();

// A column type as written in T-SQL: "decimal(38,10)", "nvarchar(max)", "time(3)".
struct tds_type {
    tds_type_kind kind = tds_type_kind::int_;
    int length = 0; // characters for text types, bytes for binary types; -1 for (max)
    int precision = 0;
    int scale = 0;
    tds_collation collation; // text types only

    // The type as T-SQL writes it, with its length, precision or scale.
    std::string sql_name() const;
    // The bare type name ("decimal", "nvarchar"), as sys.types and INFORMATION_SCHEMA name it.
    std::string base_name() const;
    bool is_text() const;
    bool is_plp() const;
    bool is_legacy_lob() const; // text, ntext, image
};

// Parses a type name with its arguments; throws std::invalid_argument naming the fault.
// Text types without a COLLATE clause take the given collation.
tds_type tds_parse_type(std::string_view spec, const tds_collation& default_collation);

// A value of a fixture row or a computed answer. `data` holds the value's literal text for
// numbers, dates, times and GUIDs; UTF-8 for character types and xml; raw bytes for binary, UDT
// and rowversion. A sql_variant also names its base type in `variant_type`; a geometry or
// geography value may carry its STAsText() form in `wkt`.
struct tds_value {
    bool null = false;
    std::string data;
    std::string variant_type;
    std::string wkt;
};

// Appends TYPE_INFO of a COLMETADATA column (type byte, lengths, precision, collation).
void tds_append_type_info(std::string& out, const tds_type& type);
// The user type COLMETADATA carries: 80 for rowversion, 0 otherwise.
std::uint32_t tds_user_type(const tds_type& type);
// Appends one value in the column's wire form; throws std::invalid_argument when the value
// does not fit the type.
void tds_append_value(std::string& out, const tds_type& type, const tds_value& value);
