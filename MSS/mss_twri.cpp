// Row writing on an MS SQL destination table: INSERT statements, bulk load, update and delete by
// key.
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_floa.h"
#include "MSS/mss_seqs.h"
#include "MSS/mss_tab.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_util.h"
#include "MSS/odb_exce.h"
#include "OLE/ole_guid.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_rule.h"

#include <cmath>
#include <cstring>
#include <cwctype>
#include <limits>

namespace {

const char* const structure_message =
    "The structure of data source does not conform to the destination table.";

constexpr int mode_no_rowset = 2;

std::string utf8(const std::wstring& text) {
    return tk_to_utf8(text);
}

bool is_binary(VARTYPE vt) {
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array;
}

bool same_ignoring_case(const std::wstring& a, const std::wstring& b) {
    return tk_equal_ascii_no_case(a, b);
}

bool starts_with_ignoring_case(const std::wstring& text, const wchar_t* prefix) {
    const std::size_t n = std::wcslen(prefix);
    return text.size() >= n && same_ignoring_case(text.substr(0, n), prefix);
}

// The value of a text field as UTF-16 without a copy where it is one already.
std::u16string_view utf16_of(const ole_variant& value, std::u16string& holder) {
    if (value.get_type() == VT_BSTR && value.var.bstrVal != nullptr) {
        return {value.var.bstrVal, SysStringLen(value.var.bstrVal)};
    }
    holder = tk_to_utf16(value.to_wstring());
    return holder;
}

// The value's magnitude, scale and sign as a DB_NUMERIC of precision 38. A decimal too wide for
// the 96-bit DECIMAL is read from its exact text, so that no digit is lost.
DB_NUMERIC to_numeric(const ole_variant& value) {
    DB_NUMERIC n{};
    n.precision = 38;
    n.sign = 1;
    if (!value.exact_decimal.empty()) {
        unsigned __int128 magnitude = 0;
        int scale = 0;
        bool fraction = false;
        for (char c : value.exact_decimal) {
            if (c == '-') {
                n.sign = 0;
            } else if (c == '.') {
                fraction = true;
            } else if (c >= '0' && c <= '9') {
                magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
                scale += fraction ? 1 : 0;
            }
        }
        n.scale = static_cast<BYTE>(scale);
        for (int i = 0; i < DB_NUMERIC_VAL_LEN; ++i) {
            n.val[i] = static_cast<BYTE>(magnitude >> (8 * i));
        }
        return n;
    }
    DECIMAL d{};
    value.to_decimal(&d);
    n.scale = d.scale;
    n.sign = (d.sign & 0x80) != 0 ? 0 : 1;
    const std::uint64_t low = d.Lo64;
    for (int i = 0; i < 8; ++i) {
        n.val[i] = static_cast<BYTE>(low >> (8 * i));
    }
    for (int i = 0; i < 4; ++i) {
        n.val[8 + i] = static_cast<BYTE>(d.Hi32 >> (8 * i));
    }
    return n;
}

// A rowversion column: its values are the server's own.
bool server_made(const t_ftd& column) {
    return same_ignoring_case(column.native_type, L"timestamp") ||
           same_ignoring_case(column.native_type, L"rowversion");
}

std::uint32_t fraction_of_milliseconds(std::uint32_t m) {
    if (m <= 999) {
        return m * 1000000u;
    }
    if (m <= 9999) {
        return m * 100000u;
    }
    return m * 10000u;
}

// A value that the bulk copy would change, or refuse together with the rows of its batch: the
// row goes by statement, which stores it or refuses it alone with the server's own error.
[[noreturn]] void by_statement() {
    throw mss_fl_row_exception();
}

bool is_integer(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
        return true;
    default:
        return false;
    }
}

bool is_date_column(DBTYPE type) {
    return type == DBTYPE_DBDATE || type == DBTYPE_DBTIME2 || type == DBTYPE_DBTIMESTAMP;
}

// The one rule over the value's type and the rowset column's type: whether the bulk copy can
// store a value of that type as a statement would, given the value checks bind_value makes.
// Every other pairing converts by rules that are not the server's (text read leniently, a bit
// from a fraction, a date from a number, bytes from text) or fails the batch: such a row goes by
// statement, where the server converts it or refuses it alone.
bool bulk_takes(VARTYPE source, DBTYPE column) {
    if (is_integer(source)) {
        return column == DBTYPE_I1 || column == DBTYPE_UI1 || column == DBTYPE_I2 ||
               column == DBTYPE_I4 || column == DBTYPE_I8 || column == DBTYPE_R4 ||
               column == DBTYPE_R8 || column == DBTYPE_CY || column == DBTYPE_BOOL ||
               column == DBTYPE_NUMERIC || column == DBTYPE_STR || column == DBTYPE_WSTR;
    }
    switch (source) {
    case VT_R4:
    case VT_R8:
        return column == DBTYPE_R4 || column == DBTYPE_R8;
    case VT_CY:
        return column == DBTYPE_CY || column == DBTYPE_NUMERIC;
    case VT_BOOL:
        return column == DBTYPE_BOOL;
    case VT_DECIMAL:
        return column == DBTYPE_NUMERIC;
    case VT_DATE:
        return is_date_column(column);
    case VT_BSTR:
        return column == DBTYPE_STR || column == DBTYPE_WSTR || column == DBTYPE_GUID ||
               column == DBTYPE_IUNKNOWN;
    default:
        return is_binary(source) && (column == DBTYPE_BYTES || column == DBTYPE_IUNKNOWN);
    }
}

// The value as a whole 64-bit integer; false where it is none (an unsigned value beyond the
// signed range). Only for the types is_integer names.
bool exact_integer(const ole_variant& value, std::int64_t& out) {
    out = value.to_i8();
    return value.get_type() != VT_UI8 ||
           value.to_ui8() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

bool fits(DBTYPE type, std::int64_t v) {
    switch (type) {
    case DBTYPE_UI1:
        return v >= 0 && v <= 255;
    case DBTYPE_I1:
        return v >= -128 && v <= 127;
    case DBTYPE_I2:
        return v >= INT16_MIN && v <= INT16_MAX;
    case DBTYPE_I4:
        return v >= INT32_MIN && v <= INT32_MAX;
    default:
        return true;
    }
}

// A value that the bulk load cannot take as it is: reported, never cut or changed.
[[noreturn]] void refuse(const std::wstring& table, const t_ftd& column, const std::wstring& why) {
    throw odb_exception(L"The value of column " + mss_enclose_name(column.name) + L" of table " +
                        table + L" cannot be bulk-loaded: " + why);
}

void bind_checked(mss_fast_load& fl, const void* data, DBLENGTH count, DBLENGTH length,
                  DBORDINAL ordinal, const std::wstring& table, const t_ftd& column) {
    if (!fl.bind_data3(data, count, length, ordinal)) {
        refuse(table, column,
               L"it takes " + std::to_wstring(count) + L" bytes, the column's row slot " +
                   std::to_wstring(fl.column_size(ordinal)) + L".");
    }
}

template <class T>
void bind_fixed(mss_fast_load& fl, const T& v, DBORDINAL ordinal, const std::wstring& table,
                const t_ftd& column) {
    bind_checked(fl, &v, sizeof v, sizeof v, ordinal, table, column);
}

// A stream holding `size` bytes, bound to a storage-object column. The row holds the only
// reference until the row is sent (the loader is handed one of its own then) or dropped.
void bind_stream(mss_fast_load& fl, const void* bytes, std::size_t size, DBORDINAL ordinal,
                 const std::wstring& table, const t_ftd& column) {
    tk_log_message(1, "Binding via CSeqStream");
    if (size > 0xFFFFFFFFu) {
        refuse(table, column, L"it is larger than 4 GB.");
    }
    auto* stream = new CSeqStream;
    ULONG written = 0;
    // An empty value is an empty stream: zero-length, not NULL.
    const HRESULT hr = stream->Write(size > 0 ? bytes : "", static_cast<ULONG>(size), &written);
    if (FAILED(hr)) {
        stream->Release();
        refuse(table, column, L"no memory for its " + std::to_wstring(size) + L" bytes.");
    }
    ISequentialStream* pointer = stream;
    if (!fl.bind_data3(&pointer, sizeof pointer, size, ordinal)) {
        stream->Release();
        refuse(table, column, L"the column is not bound as a stream.");
    }
    tk_log_message(1, "%d bytes processed", static_cast<int>(size));
}

// Whether rounding `fraction` (ns) to the column's `digits` fraction digits reaches the next
// second: the server carries it into the minute, the day, the year; FreeTDS's bulk copy makes
// a second 60 or an hour 24 of it, which fails the whole batch at its commit.
bool carries(std::uint32_t fraction, BYTE digits) {
    if (digits >= 9) {
        return false;
    }
    std::uint32_t unit = 1;
    for (BYTE i = digits; i < 9; ++i) {
        unit *= 10;
    }
    return fraction >= 1000000000u - unit / 2;
}

void bind_date(mss_fast_load& fl, const ole_variant& value, const t_ftd& column, DBORDINAL ordinal,
               const std::wstring& table) {
    const ole_date& date = value.date;
    const SYSTEMTIME& t = date.sys_time;
    // A date the writer would replace or cut (none, a year beyond 9999) is the statement's to
    // decide, as is a time that is no time of day.
    if (!date.is_valid() || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
        date.microseconds > 999999 || t.wMilliseconds > 999) {
        by_statement();
    }
    const std::uint32_t fraction = date.microseconds != 0
                                       ? date.microseconds * 1000u
                                       : fraction_of_milliseconds(t.wMilliseconds);
    const DBTYPE type = fl.column_type(ordinal);
    const BYTE precision = fl.column_precision(ordinal);
    const BYTE digits = fl.column_fraction_digits(ordinal);
    if (type == DBTYPE_DBTIME2) {
        if (carries(fraction, digits)) {
            by_statement();
        }
        tk_log_message(1, "Processing pure time in MS SQL 2008+ way");
        DBTIME2 v{t.wHour, t.wMinute, t.wSecond, fraction};
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    if (t.wYear == 0 || t.wMonth == 0 || t.wDay == 0 || t.wYear > 9999) {
        by_statement();
    }
    // FreeTDS's bulk copy moves dates before 1600-03-01 by a day or two, and a date outside a
    // datetime's (precision 23) or smalldatetime's (16) range fails the whole batch on the
    // server: a statement stores such a date or refuses its row alone (242).
    const long day = t.wYear * 10000L + t.wMonth * 100L + t.wDay;
    const bool datetime = type == DBTYPE_DBTIMESTAMP && precision == 23;
    const bool smalldatetime = type == DBTYPE_DBTIMESTAMP && precision == 16;
    if (day < 16000301L || (datetime && day < 17530101L) ||
        (smalldatetime && (day < 19000101L || day > 20790606L))) {
        by_statement();
    }
    if (type == DBTYPE_DBDATE) {
        // A date column drops the time on both paths.
        tk_log_message(1, "Processing pure date in MS SQL 2008+ way");
        DBDATE v{static_cast<std::int16_t>(t.wYear), t.wMonth, t.wDay};
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    // A smalldatetime rounds to the minute, a datetime to 1/300 s (datetime2(3) shares its
    // precision and rounds to the millisecond): the bulk copy rounds where it is sure to round
    // as the server does, a whole minute for the one, whole milliseconds short of the last
    // tick of a second for the other.
    if ((smalldatetime && (t.wSecond != 0 || fraction != 0)) ||
        (datetime && (fraction % 1000000u != 0 || fraction >= 998000000u)) ||
        (!datetime && carries(fraction, digits))) {
        by_statement();
    }
    tk_log_message(1, "Basic processing date/time value, microseconds=%d",
                   static_cast<int>(date.microseconds));
    DBTIMESTAMP ts{static_cast<std::int16_t>(t.wYear),
                   t.wMonth,
                   t.wDay,
                   t.wHour,
                   t.wMinute,
                   t.wSecond,
                   fraction};
    bind_fixed(fl, ts, ordinal, table, column);
}

// The magnitude of a DB_NUMERIC.
unsigned __int128 magnitude_of(const DB_NUMERIC& n) {
    unsigned __int128 magnitude = 0;
    for (int i = DB_NUMERIC_VAL_LEN - 1; i >= 0; --i) {
        magnitude = (magnitude << 8) | n.val[i];
    }
    return magnitude;
}

DB_NUMERIC numeric_of(unsigned __int128 magnitude, BYTE scale, bool negative) {
    DB_NUMERIC n{};
    n.precision = 38;
    n.scale = scale;
    n.sign = negative ? 0 : 1;
    for (int i = 0; i < DB_NUMERIC_VAL_LEN; ++i) {
        n.val[i] = static_cast<BYTE>(magnitude >> (8 * i));
    }
    return n;
}

// The value as a DB_NUMERIC of precision 38, for the types bulk_takes pairs with a decimal
// column. A decimal of more than 38 digits goes by statement: 128 bits would wrap it.
DB_NUMERIC numeric_value(const ole_variant& value) {
    const VARTYPE vt = value.get_type();
    if (vt == VT_CY) {
        const std::int64_t cy = value.var.cyVal.int64;
        const std::uint64_t m =
            cy < 0 ? 0 - static_cast<std::uint64_t>(cy) : static_cast<std::uint64_t>(cy);
        return numeric_of(m, 4, cy < 0);
    }
    if (vt != VT_DECIMAL) {
        std::int64_t v = 0;
        if (vt == VT_UI8 || vt == VT_UI4) {
            return numeric_of(value.to_ui8(), 0, false);
        }
        exact_integer(value, v);
        const std::uint64_t m =
            v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        return numeric_of(m, 0, v < 0);
    }
    return to_numeric(value);
}

// Whether the value's digits fit a decimal(precision, scale) without rounding: more integer
// digits would fail the bulk copy on the client with its batch, fraction digits beyond the
// scale would be cut where the server rounds them.
bool numeric_fits(const DB_NUMERIC& n, BYTE precision, BYTE scale) {
    if (precision == 0 || precision < scale) {
        return true;
    }
    unsigned __int128 magnitude = magnitude_of(n);
    const BYTE extra = n.scale > scale ? static_cast<BYTE>(n.scale - scale) : 0;
    for (BYTE i = 0; i < n.scale; ++i) {
        if (i < extra && magnitude % 10 != 0) {
            return false;
        }
        magnitude /= 10;
    }
    int digits = 0;
    for (; magnitude != 0; magnitude /= 10) {
        ++digits;
    }
    return digits <= precision - scale;
}

// money's range, and smallmoney's unless the column is known to be money: the rowset reports
// both alike, and FreeTDS fails a smallmoney beyond its range on the client with the batch.
bool currency_fits(std::int64_t cy, const t_ftd& column) {
    if (same_ignoring_case(column.native_type, L"money")) {
        return true;
    }
    return cy >= -2147483648LL && cy <= 2147483647LL;
}

// The float nearest to an integer, where it is that integer exactly (the server would round
// once, a cast through double may round twice).
bool exact_in(std::int64_t v, int mantissa_bits) {
    const std::int64_t limit = std::int64_t{1} << mantissa_bits;
    return v >= -limit && v <= limit;
}

void bind_real(mss_fast_load& fl, const ole_variant& value, DBTYPE type, DBORDINAL ordinal,
               const std::wstring& table, const t_ftd& column) {
    double v = 0;
    if (is_integer(value.get_type())) {
        std::int64_t i = 0;
        if (!exact_integer(value, i) || !exact_in(i, type == DBTYPE_R4 ? 24 : 53)) {
            by_statement();
        }
        v = static_cast<double>(i);
    } else {
        v = value.get_type() == VT_R4 ? static_cast<double>(value.var.fltVal) : value.var.dblVal;
    }
    // NaN, infinities and subnormals get the statement's replacement or the server's refusal;
    // FreeTDS's bulk copy would fail on them with the rows of their batch.
    if (!std::isfinite(v) || (v != 0 && std::fabs(v) < std::numeric_limits<double>::min())) {
        by_statement();
    }
    if (type == DBTYPE_R8) {
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    if (std::fabs(v) > std::numeric_limits<float>::max() ||
        (v != 0 && std::fabs(v) < std::numeric_limits<float>::min())) {
        by_statement(); // beyond real: the server refuses it (8115) or says what it keeps
    }
    const float f = static_cast<float>(v);
    bind_fixed(fl, f, ordinal, table, column);
}

// Whether `text` is a GUID in the form the server reads and a statement sends unchanged:
// 8-4-4-4-12 hexadecimal digits, in braces or not. Other texts the server reads its own way.
bool plain_guid(std::u16string_view text, GUID& guid) {
    if (text.size() == 38 && text.front() == u'{' && text.back() == u'}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return false;
    }
    BYTE bytes[16];
    std::size_t b = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != u'-') {
                return false;
            }
            ++i;
            continue;
        }
        int pair = 0;
        for (int k = 0; k < 2; ++k, ++i) {
            const char16_t c = text[i];
            const int d = c >= u'0' && c <= u'9'   ? c - u'0'
                          : c >= u'a' && c <= u'f' ? c - u'a' + 10
                          : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                   : -1;
            if (d < 0) {
                return false;
            }
            pair = pair * 16 + d;
        }
        bytes[b++] = static_cast<BYTE>(pair);
    }
    guid.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
                 static_cast<std::uint32_t>(bytes[1]) << 16 |
                 static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

// Binds a text value, into the row or (`stream`) as a storage object. A text a statement would
// store differently goes by statement: a NUL (the bulk copy ends the text at it); a character
// beyond ASCII where the column or the statement's literal is narrow (FreeTDS converts through
// the database's code page whatever the column's, a narrow literal through the database's
// too); more characters than the column takes (the server drops trailing blanks beyond it and
// refuses other text with its own error).
void bind_text(mss_fast_load& fl, const udb_field& value, const t_ftd& column, DBORDINAL ordinal,
               const mss_engine& engine, const std::wstring& table, bool stream) {
    const DBTYPE type = fl.column_type(ordinal);
    const DBTYPE reported = fl.column_reported_type(ordinal);
    std::u16string holder;
    std::u16string_view text;
    if (udb_custom_conversion::is_acceptable2(value)) {
        tk_log_message(1, "Custom conversion is acceptable");
        const std::wstring custom = udb_custom_conversion::handle2(value);
        holder = tk_to_utf16(custom.size() >= 2 ? custom.substr(1, custom.size() - 2) : L"");
        text = holder;
    } else {
        text = utf16_of(value, holder);
    }
    const bool narrow_column =
        stream ? reported == DBTYPE_STR ||
                     (reported != DBTYPE_WSTR &&
                      (!engine.is_unicode() ||
                       starts_with_ignoring_case(column.native_type, L"varchar") ||
                       starts_with_ignoring_case(column.native_type, L"char") ||
                       starts_with_ignoring_case(column.native_type, L"text")))
               : type == DBTYPE_STR;
    const bool ascii_only = narrow_column || !engine.is_unicode();
    for (const char16_t c : text) {
        if (c == u'\0' || (ascii_only && c > 0x7F)) {
            by_statement();
        }
    }
    // The characters the column takes: its row slot, and its declared size.
    std::int64_t limit = std::numeric_limits<std::int64_t>::max();
    if (!stream) {
        const DBLENGTH slot = fl.column_size(ordinal);
        limit = type == DBTYPE_WSTR ? (static_cast<std::int64_t>(slot) - 2) / 2
                                    : static_cast<std::int64_t>(slot) - 1;
    }
    if (column.type == VT_BSTR && column.size > 0 && column.size < limit) {
        limit = column.size;
    }
    if (static_cast<std::int64_t>(text.size()) > limit) {
        by_statement();
    }
    tk_log_message(1, "Binding %s string: %d characters", narrow_column ? "ANSI" : "UNICODE",
                   static_cast<int>(text.size()));
    if (narrow_column) {
        // ASCII only, checked above: one byte a character in every code page.
        thread_local std::string bytes;
        bytes.assign(text.begin(), text.end());
        if (stream) {
            bind_stream(fl, bytes.data(), bytes.size(), ordinal, table, column);
        } else {
            static const char none = 0;
            bind_checked(fl, bytes.empty() ? &none : bytes.data(), bytes.size(), bytes.size(),
                         ordinal, table, column);
        }
        return;
    }
    if (stream) {
        bind_stream(fl, text.data(), text.size() * 2, ordinal, table, column);
        return;
    }
    static const char16_t none = 0;
    bind_checked(fl, text.empty() ? &none : text.data(), text.size() * 2, text.size() * 2, ordinal,
                 table, column);
}

void bind_bytes(mss_fast_load& fl, const ole_variant& value, const t_ftd& column, DBORDINAL ordinal,
                const std::wstring& table, bool stream) {
    uint8_t* bytes = nullptr;
    const unsigned n = value.get_bytes(&bytes);
    tk_log_message(1, "Processing BLOB: size=%d", static_cast<int>(n));
    const bool owned = value.get_type() == VT_BSTR && n > 0;
    struct release {
        uint8_t* bytes;
        bool owned;
        ~release() {
            if (owned) {
                delete[] bytes;
            }
        }
    } guard{bytes, owned};
    if (stream) {
        bind_stream(fl, bytes, n, ordinal, table, column);
        return;
    }
    if (n > fl.column_size(ordinal)) {
        by_statement(); // the server refuses it with its own error
    }
    // A zero-length value stays zero-length: a non-null pointer tells it from NULL.
    static const BYTE none = 0;
    bind_checked(fl, n > 0 ? bytes : &none, n, n, ordinal, table, column);
}

// Binds one present value in the form the rowset's column takes it, or sends its row by
// statement where bulk_takes or the value's own checks say the bulk copy would store it
// otherwise.
void bind_value(mss_fast_load& fl, const udb_field& value, const t_ftd& column, DBORDINAL ordinal,
                const mss_engine& engine, const std::wstring& table) {
    const DBTYPE type = fl.column_type(ordinal);
    const VARTYPE vt = value.get_type();
    const bool long_binary =
        type == DBTYPE_IUNKNOWN &&
        (is_binary(column.type) || fl.column_reported_type(ordinal) == DBTYPE_BYTES);
    if (!bulk_takes(vt, type) || (type == DBTYPE_IUNKNOWN && long_binary != is_binary(vt))) {
        by_statement();
    }
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8: {
        std::int64_t v = 0;
        if (!exact_integer(value, v) || !fits(type, v)) {
            by_statement(); // the server refuses it (8115, 220)
        }
        if (type == DBTYPE_I8) {
            bind_fixed(fl, v, ordinal, table, column);
        } else if (type == DBTYPE_I4) {
            bind_fixed(fl, static_cast<std::int32_t>(v), ordinal, table, column);
        } else if (type == DBTYPE_I2) {
            bind_fixed(fl, static_cast<std::int16_t>(v), ordinal, table, column);
        } else {
            bind_fixed(fl, static_cast<std::uint8_t>(v), ordinal, table, column);
        }
        return;
    }
    case DBTYPE_R4:
    case DBTYPE_R8:
        bind_real(fl, value, type, ordinal, table, column);
        return;
    case DBTYPE_CY: {
        CY cy{};
        if (vt == VT_CY) {
            cy = value.var.cyVal;
        } else {
            std::int64_t v = 0;
            if (!exact_integer(value, v) || v > INT64_MAX / 10000 || v < INT64_MIN / 10000) {
                by_statement();
            }
            cy.int64 = v * 10000;
        }
        if (!currency_fits(cy.int64, column)) {
            by_statement();
        }
        bind_fixed(fl, cy, ordinal, table, column);
        return;
    }
    case DBTYPE_BOOL: {
        // Any number but zero is a 1 on both paths.
        const VARIANT_BOOL v = (vt == VT_BOOL ? value.var.boolVal != 0 : value.to_i8() != 0)
                                   ? VARIANT_TRUE
                                   : VARIANT_FALSE;
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    case DBTYPE_NUMERIC: {
        if (vt == VT_DECIMAL && !value.exact_decimal.empty()) {
            int digits = 0;
            for (const char c : value.exact_decimal) {
                digits += c >= '0' && c <= '9';
            }
            if (digits > 38) {
                by_statement(); // 128 bits would wrap it; the server refuses it (8115)
            }
        }
        const DB_NUMERIC n = numeric_value(value);
        if (!numeric_fits(n, fl.column_precision(ordinal), fl.column_scale(ordinal))) {
            by_statement();
        }
        fl.bind_data4(n, ordinal);
        return;
    }
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME2:
    case DBTYPE_DBTIMESTAMP:
        bind_date(fl, value, column, ordinal, table);
        return;
    case DBTYPE_GUID: {
        std::u16string holder;
        GUID guid{};
        if (!plain_guid(utf16_of(value, holder), guid)) {
            by_statement();
        }
        bind_checked(fl, &guid, sizeof guid, sizeof guid, ordinal, table, column);
        return;
    }
    case DBTYPE_BYTES:
        bind_bytes(fl, value, column, ordinal, table, false);
        return;
    case DBTYPE_IUNKNOWN:
        if (long_binary) {
            bind_bytes(fl, value, column, ordinal, table, true);
        } else {
            bind_text(fl, value, column, ordinal, engine, table, true);
        }
        return;
    default:
        bind_text(fl, value, column, ordinal, engine, table, false);
        return;
    }
}

// Where the updated column `field` stands in `schema`; -1, logged, where the table lacks it.
std::int32_t update_field_idx(const udb_schema& schema, const std::wstring& table,
                              const std::wstring& field) {
    tk_log_message(1, "Process field: %s", utf8(field).c_str());
    const std::int32_t idx = schema.get_field_idx(field);
    if (idx < 0) {
        tk_log_message(3, "Cannot update '%s': field '%s' is not found in schema",
                       utf8(table).c_str(), utf8(field).c_str());
    }
    return idx;
}

// The one qualified form of a destination's name that every statement of the table uses.
std::wstring destination_name(const std::wstring& name) {
    if (mss_engine* engine = mss_engine::pointer()) {
        return engine->get_dest_tname(name);
    }
    std::wstring owner;
    std::wstring table;
    mss_read_dest_name(name, owner, table);
    return mss_format_tab_name(owner, table);
}

} // namespace

mss_table::mss_table(const std::wstring& name_in, IOpenRowset* session_in,
                     const udb_schema& columns, mss_database* database)
    : odb_table(destination_name(name_in), session_in, mode_no_rowset,
                database != nullptr ? &database->relationships : nullptr),
      command(session_in) {
    db = database;
    tk_log_wmessage(2, L"mss_table::ctor3(%ls)", name.c_str());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i]->b_auto_num) {
            tk_log_message(2, "Auto-increment found: field #%d", static_cast<int>(i));
            b_identity = true;
        }
        schema.push_back(std::make_shared<t_ftd>(*columns[i]));
    }
}

void mss_table::append_record(const udb_record& record) {
    tk_log_message(1, "mss_table::append_record(schema size=%d, record size=%d",
                   static_cast<int>(schema.size()), static_cast<int>(record.size()));
    ++records_handed_;
    if (record.size() != schema.size()) {
        tk_log_message(2, "that.size()=%d, schema.size()=%d", static_cast<int>(record.size()),
                       static_cast<int>(schema.size()));
        throw udb_structure_exception(std::string(structure_message));
    }
    const mss_engine* engine = mss_engine::instance();
    if (engine->is_fast_load() && !b_fl_failed) {
        try {
            fast_append(record);
        } catch (const mss_fl_failed_exception&) {
            tk_log_message(1, "Got mss_fl_failed_exception, switch to slow_append");
            b_fl_failed = true;
            slow_record(record);
        } catch (const mss_fl_row_exception&) {
            by_statement_after_commit(record);
        }
    } else {
        slow_record(record);
    }
    ++rec_count;
}

void mss_table::by_statement_after_commit(const udb_record& record) {
    // The rows sent before go first, so that the statement meets them in the table. A failed
    // commit loses only its own batch: the record at hand still goes, and the failure names
    // what is lost and what became of this record.
    try {
        fl.commit_batch();
    } catch (const odb_exception& lost) {
        const std::wstring number = std::to_wstring(records_handed_);
        try {
            slow_record(record);
        } catch (const tk_exception& refused) {
            throw odb_exception(tk_to_wstring(lost.message) + L"\nRecord " + number +
                                L" is not in the table either: " + tk_to_wstring(refused.message));
        }
        throw odb_exception(tk_to_wstring(lost.message) + L"\nRecord " + number +
                            L" is in the table.");
    }
    slow_record(record);
}

void mss_table::slow_record(const udb_record& record) {
    tk_log_message(1, "mss_table::slow_record(schema size=%d, record size=%d",
                   static_cast<int>(schema.size()), static_cast<int>(record.size()));
    if (schema.empty() || record.empty()) {
        return;
    }
    if (record.size() != schema.size()) {
        tk_log_message(2, "that.size()=%d, schema.size()=%d", static_cast<int>(record.size()),
                       static_cast<int>(schema.size()));
        throw udb_structure_exception(std::string(structure_message));
    }
    std::wstring sql;
    if (b_identity) {
        sql = L"SET IDENTITY_INSERT " + name + L" ON;";
    }
    sql += L"INSERT INTO " + name + L"(";
    std::wstring values = L" VALUES( ";
    bool first = true;
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const t_ftd& column = *schema[i];
        if (server_made(column)) {
            continue; // the server fills it and refuses any value for it
        }
        const std::wstring source =
            db != nullptr ? db->names_map.get_fn_orig_name(name, column.name, true) : column.name;
        tk_log_wmessage(1, L"Name=%ls, original name=%ls", column.name.c_str(), source.c_str());
        if (!record.find_field(source)) {
            tk_log_wmessage(2, L"Field %ls not found", source.c_str());
            throw udb_structure_exception(std::string(structure_message));
        }
        if (!first) {
            sql += L", ";
            values += L", ";
        }
        first = false;
        sql += mss_enclose_name(column.name);
        values += mss_get_fld_append_str(&record.get_field(source), &column);
    }
    sql += L")" + values + L")";
    tk_log_wmessage(2, L"Run SQL query: %ls\n", sql.c_str());
    // A failed batch takes its connection, and whatever it switched on, out of the provider's
    // pool: nothing is left to switch off then.
    command.execute(sql);
    if (b_identity) {
        identity_insert_off();
    }
}

void mss_table::identity_insert_off() {
    // Its own batch, so that a refusal of the OFF cannot be taken for a refusal of the row the
    // INSERT stored. The INSERT's connection went back to the pool last, so this statement takes
    // it; a session allows IDENTITY_INSERT for one table at a time.
    try {
        command.execute(L"SET IDENTITY_INSERT " + name + L" OFF;");
    } catch (const tk_exception& e) {
        tk_log_message(2, "IDENTITY_INSERT could not be switched off: %s", e.message.c_str());
    }
}

void mss_table::fast_append(const udb_record& record) {
    tk_log_message(1, "mss_table::fast_append");
    if (!fl.is_open()) {
        std::u16string table_name = tk_to_utf16(name);
        DBID id{};
        id.eKind = DBKIND_NAME;
        id.uName.pwszName = table_name.data();
        // The bulk copy keeps the identity values by its own property: a SET on the session
        // would only change a connection of the pool and stay there.
        if (FAILED(fl.open_table(session.get(), &id, schema, name))) {
            tk_log_message(2, "Failed to open table for fast_append, switch to slow_append");
            throw mss_fl_failed_exception();
        }
    }
    tk_log_message(1, "Record has %d fields", static_cast<int>(record.size()));
    try {
        bind_record(record);
    } catch (...) {
        fl.discard_row();
        throw;
    }
    tk_log_message(1, "mss_table::fast_append - END");
}

void mss_table::pair_fields(const udb_record& record) {
    if (record.naming != 0 && record.naming == paired_naming_ &&
        field_of_column_.size() == schema.size()) {
        return;
    }
    if (source_names_.size() != schema.size()) {
        source_names_.clear();
        for (const auto& column : schema) {
            source_names_.push_back(db != nullptr
                                        ? db->names_map.get_fn_orig_name(name, column->name, true)
                                        : column->name);
        }
    }
    field_of_column_.assign(schema.size(), std::size_t(-1));
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (server_made(*schema[i])) {
            continue;
        }
        const std::wstring& wanted = source_names_[i];
        // The field at the column's own place first: records mostly come in the table's order.
        if (i < record.size() && record[i] && same_ignoring_case(record[i]->name, wanted)) {
            field_of_column_[i] = i;
            continue;
        }
        for (std::size_t j = 0; j < record.size(); ++j) {
            if (record[j] && same_ignoring_case(record[j]->name, wanted)) {
                field_of_column_[i] = j;
                break;
            }
        }
        if (field_of_column_[i] == std::size_t(-1)) {
            if (i < record.size() && !record[i]) {
                field_of_column_[i] = i; // an empty slot at the column's place: no value
                continue;
            }
            tk_log_wmessage(2, L"Field %ls not found", wanted.c_str());
            paired_naming_ = 0;
            throw udb_structure_exception(std::string(structure_message));
        }
    }
    paired_naming_ = record.naming;
}

void mss_table::bind_record(const udb_record& record) {
    const mss_engine* engine = mss_engine::instance();
    pair_fields(record);
    static const udb_field empty;
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const DBORDINAL ordinal = i + 1;
        const t_ftd& column = *schema[i];
        const std::size_t at = field_of_column_[i];
        const udb_field* value = at < record.size() ? record[at].get() : nullptr;
        if (value == nullptr) {
            value = &empty;
        }
        tk_log_message(1, "Field %d has vartype=%d", static_cast<int>(i),
                       static_cast<int>(value->get_type()));
        if (value->get_type() == VT_EMPTY || value->get_type() == VT_NULL) {
            if (column.b_not_null && !server_made(column)) {
                // A statement decides what a missing value of a NOT NULL column becomes (its
                // default) or refuses the row, as for every other row without bulk load.
                throw mss_fl_row_exception();
            }
            fl.bind_data2(nullptr, 0, ordinal);
            continue;
        }
        bind_value(fl, *value, column, ordinal, *engine, name);
    }
    fl.insert_data(records_handed_);
}

void mss_table::update1(const udb_record& record) {
    tk_log_message(1, "mss_table::update(n_u_index=%d)", key_idx);
    if (key_idx < 0 || static_cast<std::size_t>(key_idx) >= indexes.size()) {
        tk_log_message(3, "ERROR: Cannot update '%s', there's no primary/unique key",
                       utf8(name).c_str());
        return;
    }
    tk_log_message(1, "indexes.size=%d", static_cast<int>(indexes.size()));
    const udb_index& key = indexes[static_cast<std::size_t>(key_idx)];
    const std::wstring head = L"UPDATE " + name + L" SET ";
    std::wstring set_list;
    std::wstring conditions;
    for (const auto& field : record) {
        if (!field) {
            continue;
        }
        const std::int32_t idx = update_field_idx(schema, name, field->name);
        if (idx < 0) {
            continue;
        }
        bool in_key = false;
        for (const std::wstring& k : key.columns) {
            in_key = in_key || same_ignoring_case(k, field->name);
        }
        const std::wstring literal =
            mss_get_fld_append_str(field.get(), schema[static_cast<std::size_t>(idx)].get());
        if (!in_key) {
            tk_log_message(1, "Field %s is NOT a part of UKey", utf8(field->name).c_str());
            tk_check(static_cast<std::size_t>(idx) < schema.size(), "mss_tab", 1675);
            set_list +=
                (set_list.empty() ? L"" : L", ") + mss_enclose_name(field->name) + L"=" + literal;
        } else {
            tk_log_message(1, "Field %s is a part of UKey", utf8(field->name).c_str());
            tk_check(static_cast<std::size_t>(idx) < schema.size(), "mss_tab", 1685);
            conditions += (conditions.empty() ? L"" : L" AND ") + mss_enclose_name(field->name) +
                          L"=" + literal;
        }
    }
    const std::wstring sql = head + set_list + L" WHERE " + conditions;
    tk_log_wmessage(2, L"UPDATE QUERY: %ls", sql.c_str());
    if (conditions.empty()) {
        tk_log_message(1, "Missing primary/unique key");
        return;
    }
    try {
        command.execute(sql);
    } catch (const std::exception& e) {
        tk_log_message(3, "ERROR on UPDATE1: %s", e.what());
    } catch (...) {
    }
}

void mss_table::update2(const udb_record& record, const std::wstring& key_text) {
    tk_log_wmessage(1, L"mss_table::update(key=%ls)", key_text.c_str());
    if (key_text.empty()) {
        tk_log_message(3, "ERROR: key for update cannot be empty (table '%s')", utf8(name).c_str());
        return;
    }
    if (key_idx < 0 || static_cast<std::size_t>(key_idx) >= indexes.size()) {
        tk_log_message(3, "ERROR: table '%s' has no primary/unique key, update is not possible",
                       utf8(name).c_str());
        return;
    }
    const udb_index& key = indexes[static_cast<std::size_t>(key_idx)];
    std::wstring set_list;
    for (const auto& field : record) {
        if (!field) {
            continue;
        }
        const std::int32_t idx = update_field_idx(schema, name, field->name);
        if (idx < 0) {
            continue;
        }
        bool in_key = false;
        for (const std::wstring& k : key.columns) {
            in_key = in_key || k == field->name;
        }
        if (in_key) {
            tk_log_message(1, "Field %s is a part of UKey", utf8(field->name).c_str());
            continue;
        }
        tk_check(static_cast<std::size_t>(idx) < schema.size(), "mss_tab", 1766);
        set_list +=
            (set_list.empty() ? L"" : L", ") + mss_enclose_name(field->name) + L"=" +
            mss_get_fld_append_str(field.get(), schema[static_cast<std::size_t>(idx)].get());
    }
    try {
        // The condition names its columns in double quotes: they must read as names even after
        // a bulk load switched QUOTED_IDENTIFIER off on the session.
        const std::wstring sql = L"SET QUOTED_IDENTIFIER ON; UPDATE " + name + L" SET " + set_list +
                                 L" WHERE " + get_filter_subquery(key_text);
        tk_log_wmessage(2, L"UPDATE QUERY: %ls", sql.c_str());
        command.execute(sql);
    } catch (const std::exception& e) {
        tk_log_message(3, "ERROR on UPDATE2: %s", e.what());
    } catch (...) {
    }
}

std::wstring mss_table::text_literal(const std::wstring& text) const {
    return mss_quote_text(mss_escape_literal(text), true);
}

void mss_table::delete_key(const std::wstring& key_text) {
    tk_log_wmessage(2, L"mss_table::delete_key(%ls)", key_text.c_str());
    try {
        const std::wstring sql = L"SET QUOTED_IDENTIFIER ON; DELETE FROM " + name +
                                 L" WITH (ROWLOCK) WHERE " + get_filter_subquery(key_text);
        command.execute(sql);
    } catch (const std::exception& e) {
        tk_log_message(2, "ERROR on DELETE: %s", e.what());
    } catch (...) {
        tk_log_message(3, "Unknown exception");
    }
}

void mss_table::delete_key(const udb_record& record) {
    tk_log_message(1, "mss_table::delete_key");
    std::wstring sql = L"DELETE FROM " + name + L" WITH (ROWLOCK) WHERE ";
    std::wstring conditions;
    for (const auto& field : record) {
        if (!field) {
            continue;
        }
        const std::int32_t idx = schema.get_field_idx(field->name);
        if (idx < 0) {
            tk_log_message(1, "Field '%s' is not found in schema", utf8(field->name).c_str());
            continue;
        }
        conditions +=
            (conditions.empty() ? L"" : L" AND ") + mss_enclose_name(field->name) + L"=" +
            mss_get_fld_append_str(field.get(), schema[static_cast<std::size_t>(idx)].get());
    }
    try {
        command.execute(sql + conditions);
    } catch (const std::exception& e) {
        tk_log_message(2, "ERROR on DELETE: %s", e.what());
    } catch (...) {
    }
}
