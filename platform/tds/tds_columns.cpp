// Result columns of the SQL Server provider: OLE DB column information, read plans and the text
// forms of values.
#include "platform/tds/tds_columns.h"

#include "platform/win32/unicode.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr DBLENGTH unlimited = ~DBLENGTH{0};
constexpr BYTE no_precision = 0xFF;

void fixed(tds_column& c, DBTYPE type, DBLENGTH size, BYTE precision, BYTE scale, tds_kind kind,
           odbc::c_type c_type, std::uint32_t slot) {
    c.info.type = type;
    c.info.size = size;
    c.info.precision = precision;
    c.info.scale = scale;
    c.info.flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
    c.kind = kind;
    c.c_type = c_type;
    c.slot_size = slot;
}

// Text and binary columns: a slot when the size is known and fits a row, else read in pieces.
void variable(tds_column& c, DBTYPE type, std::uint64_t size, bool fixed_length, bool binary) {
    c.info.type = type;
    c.info.precision = no_precision;
    c.info.scale = no_precision;
    c.kind = binary ? tds_kind::binary : tds_kind::text;
    c.c_type = binary ? odbc::c_binary : odbc::c_wchar;
    if (size == 0 || size > 8000) {
        c.info.size = size == 0 ? unlimited : size;
        c.info.flags |= DBCOLUMNFLAGS_ISLONG;
        c.is_long = true;
        return;
    }
    c.info.size = size;
    if (fixed_length) {
        c.info.flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
    }
    // A character of a single-byte or UTF-8 column never takes more UTF-16 units than bytes.
    c.slot_size = binary ? static_cast<std::uint32_t>(size)
                         : static_cast<std::uint32_t>((size + 1) * sizeof(char16_t));
}

void long_value(tds_column& c, DBTYPE type, DBLENGTH size, tds_kind kind, odbc::c_type c_type) {
    c.info.type = type;
    c.info.size = size;
    c.info.precision = no_precision;
    c.info.scale = no_precision;
    c.info.flags |= DBCOLUMNFLAGS_ISLONG;
    c.kind = kind;
    c.c_type = c_type;
    c.is_long = true;
}

BYTE byte_of(long value) {
    return static_cast<BYTE>(std::clamp<long>(value, 0, 255));
}

// Writes `value` as `width` decimal digits (more when it needs more).
char16_t* digits(char16_t* out, unsigned long value, int width) {
    // The parts of every date and time fit their width: written from the last digit back.
    static constexpr unsigned long limits[] = {1,      10,      100,      1000,      10000,
                                               100000, 1000000, 10000000, 100000000, 1000000000};
    if (width > 0 && width < 10 && value < limits[width]) {
        for (int i = width - 1; i >= 0; --i) {
            out[i] = static_cast<char16_t>(u'0' + value % 10);
            value /= 10;
        }
        return out + width;
    }
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    const int n = static_cast<int>(end - buffer);
    for (int i = n; i < width; ++i) {
        *out++ = u'0';
    }
    for (const char* p = buffer; p != end; ++p) {
        *out++ = static_cast<char16_t>(*p);
    }
    return out;
}

char16_t* ascii(char16_t* out, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        *out++ = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    }
    return out;
}

char16_t* date_part(char16_t* out, int year, unsigned month, unsigned day) {
    if (year < 0) {
        *out++ = u'-';
        year = -year;
    }
    out = digits(out, static_cast<unsigned long>(year), 4);
    *out++ = u'-';
    out = digits(out, month, 2);
    *out++ = u'-';
    return digits(out, day, 2);
}

char16_t* time_part(char16_t* out, unsigned hour, unsigned minute, unsigned second,
                    std::uint32_t nanoseconds, int fraction_digits) {
    out = digits(out, hour, 2);
    *out++ = u':';
    out = digits(out, minute, 2);
    *out++ = u':';
    out = digits(out, second, 2);
    if (fraction_digits > 0) {
        *out++ = u'.';
        unsigned long divisor = 1;
        for (int i = fraction_digits; i < 9; ++i) {
            divisor *= 10;
        }
        out = digits(out, nanoseconds / divisor, fraction_digits);
    }
    return out;
}

const char hex_digits[] = "0123456789ABCDEF";

template <class T> void put_word(BYTE* row, DBBYTEOFFSET offset, T value) {
    std::memcpy(row + offset, &value, sizeof value);
}

// Copies UTF-16 text into a WSTR slot of `max` bytes with a terminator.
DBSTATUS copy_wide(BYTE* out, DBLENGTH max, const char16_t* text, std::size_t units) {
    if ((units + 1) * sizeof(char16_t) <= max) {
        std::memcpy(out, text, units * sizeof(char16_t));
        std::memset(out + units * sizeof(char16_t), 0, sizeof(char16_t));
        return DBSTATUS_S_OK;
    }
    if (max < sizeof(char16_t)) {
        return DBSTATUS_S_TRUNCATED;
    }
    std::size_t room = static_cast<std::size_t>(max / sizeof(char16_t)) - 1;
    if (room > 0 && text[room - 1] >= 0xD800 && text[room - 1] <= 0xDBFF) {
        --room; // never half of a surrogate pair
    }
    std::memcpy(out, text, room * sizeof(char16_t));
    std::memset(out + room * sizeof(char16_t), 0, sizeof(char16_t));
    return DBSTATUS_S_TRUNCATED;
}

// Copies narrow text into a STR slot of `max` bytes with a terminator, cutting only at the start
// of a UTF-8 sequence.
DBSTATUS copy_narrow(BYTE* out, DBLENGTH max, const char* text, std::size_t bytes) {
    if (bytes + 1 <= max) {
        std::memcpy(out, text, bytes);
        out[bytes] = 0;
        return DBSTATUS_S_OK;
    }
    if (max < 1) {
        return DBSTATUS_S_TRUNCATED;
    }
    std::size_t room = static_cast<std::size_t>(max) - 1;
    while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80) {
        --room;
    }
    std::memcpy(out, text, room);
    out[room] = 0;
    return DBSTATUS_S_TRUNCATED;
}

} // namespace

tds_column tds_map_column(const odbc::column_description& d) {
    tds_column c;
    c.odbc = d;
    c.info.name = d.name;
    c.info.flags = d.nullable ? (DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL) : 0;
    const std::uint64_t size = d.size;
    const int n = std::clamp<int>(d.digits, 0, 7);
    switch (d.type) {
    case odbc::sql_bit:
        fixed(c, DBTYPE_BOOL, 2, no_precision, no_precision, tds_kind::boolean, odbc::c_bit, 1);
        break;
    case odbc::sql_tinyint:
        fixed(c, DBTYPE_UI1, 1, 3, no_precision, tds_kind::integer, odbc::c_sbigint, 8);
        break;
    case odbc::sql_smallint:
        fixed(c, DBTYPE_I2, 2, 5, no_precision, tds_kind::integer, odbc::c_sbigint, 8);
        break;
    case odbc::sql_integer:
        fixed(c, DBTYPE_I4, 4, 10, no_precision, tds_kind::integer, odbc::c_sbigint, 8);
        break;
    case odbc::sql_bigint:
        fixed(c, DBTYPE_I8, 8, 19, no_precision, tds_kind::integer, odbc::c_sbigint, 8);
        break;
    case odbc::sql_numeric:
    case odbc::sql_decimal:
        // FreeTDS names smallmoney "money" too; both are currency.
        if (tds_same_ascii(d.type_name, u"money") || tds_same_ascii(d.type_name, u"smallmoney")) {
            fixed(c, DBTYPE_CY, 8, 19, no_precision, tds_kind::decimal, odbc::c_char, 48);
        } else {
            fixed(c, DBTYPE_NUMERIC, 19, byte_of(static_cast<long>(size)), byte_of(d.digits),
                  tds_kind::decimal, odbc::c_char, 48);
        }
        break;
    case odbc::sql_real:
        fixed(c, DBTYPE_R4, 4, 7, no_precision, tds_kind::real4, odbc::c_float, 4);
        break;
    case odbc::sql_float:
    case odbc::sql_double:
        fixed(c, DBTYPE_R8, 8, 15, no_precision, tds_kind::real8, odbc::c_double, 8);
        break;
    case odbc::sql_type_date:
        fixed(c, DBTYPE_DBDATE, 6, 10, 0, tds_kind::date, odbc::c_type_date,
              sizeof(odbc::date_value));
        break;
    case odbc::sql_type_time:
    case odbc::sql_ss_time2:
        fixed(c, DBTYPE_DBTIME2, 10, static_cast<BYTE>(n == 0 ? 8 : 9 + n), static_cast<BYTE>(n),
              tds_kind::time, odbc::c_binary, sizeof(odbc::time2_value));
        c.fraction_digits = n;
        break;
    case odbc::sql_type_timestamp:
        // smalldatetime 16/0, datetime 23/3, datetime2(n) 19 or 20+n / n: the size is the length
        // of the text form, as the OLE DB providers report it.
        fixed(c, DBTYPE_DBTIMESTAMP, 16, byte_of(static_cast<long>(size)), static_cast<BYTE>(n),
              tds_kind::timestamp, odbc::c_type_timestamp, sizeof(odbc::timestamp_value));
        c.fraction_digits = n;
        break;
    case odbc::sql_ss_timestampoffset:
        fixed(c, DBTYPE_DBTIMESTAMPOFFSET, 20, static_cast<BYTE>(n == 0 ? 26 : 27 + n),
              static_cast<BYTE>(n), tds_kind::timestamp_offset, odbc::c_binary,
              sizeof(odbc::timestamp_offset_value));
        c.fraction_digits = n;
        break;
    case odbc::sql_char:
        variable(c, DBTYPE_STR, size, true, false);
        break;
    case odbc::sql_varchar:
        variable(c, DBTYPE_STR, size, false, false);
        break;
    case odbc::sql_longvarchar:
        long_value(c, DBTYPE_STR, 2147483647, tds_kind::text, odbc::c_wchar);
        break;
    case odbc::sql_wchar:
        variable(c, DBTYPE_WSTR, size, true, false);
        break;
    case odbc::sql_wvarchar:
        variable(c, DBTYPE_WSTR, size, false, false);
        break;
    case odbc::sql_wlongvarchar:
        long_value(c, DBTYPE_WSTR, 1073741823, tds_kind::text, odbc::c_wchar);
        break;
    case odbc::sql_binary:
        variable(c, DBTYPE_BYTES, size, true, true);
        if (tds_same_ascii(d.type_name, u"timestamp") ||
            tds_same_ascii(d.type_name, u"rowversion")) {
            c.info.flags |= DBCOLUMNFLAGS_ISROWVER;
        }
        break;
    case odbc::sql_varbinary:
        variable(c, DBTYPE_BYTES, size, false, true);
        break;
    case odbc::sql_longvarbinary:
        // FreeTDS describes CLR types (geometry, geography, hierarchyid) as long binary without
        // a type name; image keeps its name.
        if (tds_same_ascii(d.type_name, u"image")) {
            long_value(c, DBTYPE_BYTES, 2147483647, tds_kind::binary, odbc::c_binary);
        } else {
            long_value(c, DBTYPE_UDT, unlimited, tds_kind::binary, odbc::c_binary);
        }
        break;
    case odbc::sql_ss_udt:
        long_value(c, DBTYPE_UDT, unlimited, tds_kind::binary, odbc::c_binary);
        break;
    case odbc::sql_guid:
        fixed(c, DBTYPE_GUID, 16, no_precision, no_precision, tds_kind::guid, odbc::c_guid,
              sizeof(odbc::guid_value));
        break;
    case odbc::sql_ss_xml:
        long_value(c, DBTYPE_XML, unlimited, tds_kind::text, odbc::c_wchar);
        break;
    case odbc::sql_ss_variant:
        long_value(c, DBTYPE_VARIANT, 8016, tds_kind::text, odbc::c_wchar);
        c.info.flags &= ~DBCOLUMNFLAGS_ISLONG;
        c.read_once = true;
        break;
    default:
        // Anything newer is read as the driver's text.
        long_value(c, DBTYPE_WSTR, unlimited, tds_kind::text, odbc::c_wchar);
        break;
    }
    return c;
}

std::uint64_t tds_layout_row(std::vector<tds_column>& columns) {
    std::uint64_t offset = 0;
    for (tds_column& c : columns) {
        if (c.is_long) {
            continue;
        }
        c.indicator_offset = offset;
        c.value_offset = offset + sizeof(odbc::sql_len);
        offset = c.value_offset + ((c.slot_size + 7) & ~std::uint64_t{7});
    }
    return std::max<std::uint64_t>(offset, 8);
}

std::size_t tds_format_scalar(const tds_column& column, const void* value, odbc::sql_len length,
                              char16_t* out) {
    char16_t* p = out;
    switch (column.kind) {
    case tds_kind::boolean: {
        unsigned char b = 0;
        std::memcpy(&b, value, 1);
        const char* text = b ? "True" : "False";
        p = ascii(p, text, std::strlen(text));
        break;
    }
    case tds_kind::integer: {
        std::int64_t v = 0;
        std::memcpy(&v, value, sizeof v);
        char buffer[24];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
        p = ascii(p, buffer, static_cast<std::size_t>(end - buffer));
        break;
    }
    case tds_kind::decimal: {
        // FreeTDS writes the digits with "." and may drop the zero before it.
        const char* text = static_cast<const char*>(value);
        std::size_t n =
            length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), 47);
        n = std::min(n, std::strlen(text));
        std::size_t i = 0;
        if (i < n && (text[i] == '-' || text[i] == '+')) {
            if (text[i] == '-') {
                *p++ = u'-';
            }
            ++i;
        }
        if (i < n && text[i] == '.') {
            *p++ = u'0';
        }
        p = ascii(p, text + i, n - i);
        break;
    }
    case tds_kind::real4: {
        float v = 0;
        std::memcpy(&v, value, sizeof v);
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
        p = ascii(p, buffer, static_cast<std::size_t>(end - buffer));
        break;
    }
    case tds_kind::real8: {
        double v = 0;
        std::memcpy(&v, value, sizeof v);
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
        p = ascii(p, buffer, static_cast<std::size_t>(end - buffer));
        break;
    }
    case tds_kind::date: {
        odbc::date_value v{};
        std::memcpy(&v, value, sizeof v);
        p = date_part(p, v.year, v.month, v.day);
        break;
    }
    case tds_kind::time: {
        odbc::time2_value v{};
        std::memcpy(&v, value, sizeof v);
        p = time_part(p, v.hour, v.minute, v.second, v.fraction, column.fraction_digits);
        break;
    }
    case tds_kind::timestamp: {
        odbc::timestamp_value v{};
        std::memcpy(&v, value, sizeof v);
        p = date_part(p, v.year, v.month, v.day);
        *p++ = u' ';
        p = time_part(p, v.hour, v.minute, v.second, v.fraction, column.fraction_digits);
        break;
    }
    case tds_kind::timestamp_offset: {
        odbc::timestamp_offset_value v{};
        std::memcpy(&v, value, sizeof v);
        p = date_part(p, v.year, v.month, v.day);
        *p++ = u' ';
        p = time_part(p, v.hour, v.minute, v.second, v.fraction, column.fraction_digits);
        *p++ = u' ';
        const bool negative = v.timezone_hour < 0 || v.timezone_minute < 0;
        *p++ = negative ? u'-' : u'+';
        p = digits(p, static_cast<unsigned long>(std::abs(v.timezone_hour)), 2);
        *p++ = u':';
        p = digits(p, static_cast<unsigned long>(std::abs(v.timezone_minute)), 2);
        break;
    }
    case tds_kind::guid: {
        odbc::guid_value v{};
        std::memcpy(&v, value, sizeof v);
        const auto hex = [&p](unsigned long x, int nibbles) {
            for (int i = nibbles - 1; i >= 0; --i) {
                *p++ = static_cast<char16_t>(hex_digits[(x >> (4 * i)) & 0xF]);
            }
        };
        *p++ = u'{';
        hex(v.data1, 8);
        *p++ = u'-';
        hex(v.data2, 4);
        *p++ = u'-';
        hex(v.data3, 4);
        *p++ = u'-';
        hex(v.data4[0], 2);
        hex(v.data4[1], 2);
        *p++ = u'-';
        for (int i = 2; i < 8; ++i) {
            hex(v.data4[i], 2);
        }
        *p++ = u'}';
        break;
    }
    case tds_kind::text:
    case tds_kind::binary:
        break;
    }
    return static_cast<std::size_t>(p - out);
}

DBBINDSTATUS tds_check_binding(const tds_column& column, const DBBINDING& binding,
                               DBORDINAL columns) {
    const DBBINDSTATUS basic = oledb_check_binding(binding, columns);
    if (basic != DBBINDSTATUS_OK) {
        return basic;
    }
    if (binding.wType == DBTYPE_BYTES && column.kind != tds_kind::binary &&
        column.kind != tds_kind::text) {
        return DBBINDSTATUS_UNSUPPORTEDCONVERSION;
    }
    return DBBINDSTATUS_OK;
}

DBSTATUS tds_put_value(const tds_column& column, const DBBINDING& binding, BYTE* row,
                       const void* value, odbc::sql_len length) {
    DBSTATUS status = DBSTATUS_S_OK;
    DBLENGTH whole = 0;
    BYTE* out = row + binding.obValue;
    const DBLENGTH max = (binding.dwPart & DBPART_VALUE) != 0 ? binding.cbMaxLen : 0;

    if (length == odbc::null_data) {
        status = DBSTATUS_S_ISNULL;
    } else if (column.kind == tds_kind::text) {
        const auto* text = static_cast<const char16_t*>(value);
        const std::size_t units = static_cast<std::size_t>(length) / sizeof(char16_t);
        if (binding.wType == DBTYPE_WSTR) {
            whole = units * sizeof(char16_t);
            status = copy_wide(out, max, text, units);
        } else if (binding.wType == DBTYPE_STR) {
            const std::string narrow = win32::to_utf8(std::u16string_view(text, units));
            whole = narrow.size();
            status = copy_narrow(out, max, narrow.data(), narrow.size());
        } else {
            whole = units * sizeof(char16_t);
            std::memcpy(out, text, std::min(whole, max));
            status = whole <= max ? DBSTATUS_S_OK : DBSTATUS_S_TRUNCATED;
        }
    } else if (column.kind == tds_kind::binary) {
        const auto* bytes = static_cast<const unsigned char*>(value);
        const std::size_t n = static_cast<std::size_t>(length);
        if (binding.wType == DBTYPE_BYTES) {
            whole = n;
            std::memcpy(out, bytes, std::min<DBLENGTH>(n, max));
            status = n <= max ? DBSTATUS_S_OK : DBSTATUS_S_TRUNCATED;
        } else {
            const std::size_t unit = binding.wType == DBTYPE_WSTR ? sizeof(char16_t) : 1;
            whole = 2 * n * unit;
            // Whole bytes only, and room for the terminator.
            const std::size_t room = max < unit ? 0 : static_cast<std::size_t>(max / unit) - 1;
            const std::size_t fit = std::min(n, room / 2);
            for (std::size_t i = 0; i < fit; ++i) {
                const char16_t hi = static_cast<char16_t>(hex_digits[bytes[i] >> 4]);
                const char16_t lo = static_cast<char16_t>(hex_digits[bytes[i] & 0x0F]);
                if (unit == 2) {
                    std::memcpy(out + 4 * i, &hi, 2);
                    std::memcpy(out + 4 * i + 2, &lo, 2);
                } else {
                    out[2 * i] = static_cast<BYTE>(hi);
                    out[2 * i + 1] = static_cast<BYTE>(lo);
                }
            }
            if (max >= unit) {
                std::memset(out + 2 * fit * unit, 0, unit);
            }
            status = fit == n ? DBSTATUS_S_OK : DBSTATUS_S_TRUNCATED;
        }
    } else {
        char16_t text[tds_scalar_text_max];
        const std::size_t units = tds_format_scalar(column, value, length, text);
        if (binding.wType == DBTYPE_WSTR) {
            whole = units * sizeof(char16_t);
            status = copy_wide(out, max, text, units);
        } else if (binding.wType == DBTYPE_STR) {
            char narrow[tds_scalar_text_max];
            for (std::size_t i = 0; i < units; ++i) {
                narrow[i] = static_cast<char>(text[i]); // the scalar texts are ASCII
            }
            whole = units;
            status = copy_narrow(out, max, narrow, units);
        } else {
            status = DBSTATUS_E_CANTCONVERTVALUE;
        }
    }

    if ((binding.dwPart & DBPART_VALUE) == 0 && status == DBSTATUS_S_TRUNCATED) {
        status = DBSTATUS_S_OK; // no value was asked for, so none was cut
    }
    if ((binding.dwPart & DBPART_STATUS) != 0) {
        put_word(row, binding.obStatus, status);
    }
    if ((binding.dwPart & DBPART_LENGTH) != 0) {
        put_word(row, binding.obLength, whole);
    }
    return status;
}
