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

// The value as a whole 64-bit integer; false where it is none (text, a fraction, a decimal of
// more digits, an unsigned value beyond the signed range).
bool exact_integer(const ole_variant& value, std::int64_t& out) {
    switch (value.get_type()) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_BOOL:
        out = value.to_i8();
        return true;
    case VT_UI8:
        out = value.to_i8();
        return value.to_ui8() <= static_cast<std::uint64_t>(INT64_MAX);
    default:
        return false;
    }
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

// A stream holding `size` bytes, bound to a storage-object column. The loader holds one
// reference, the row the other.
void bind_stream(mss_fast_load& fl, const void* bytes, std::size_t size, DBORDINAL ordinal,
                 const std::wstring& table, const t_ftd& column) {
    tk_log_message(1, "Binding via CSeqStream");
    if (size > 0xFFFFFFFFu) {
        refuse(table, column, L"it is larger than 4 GB.");
    }
    auto* stream = new CSeqStream;
    stream->AddRef();
    ULONG written = 0;
    // An empty value is an empty stream: zero-length, not NULL.
    const HRESULT hr = stream->Write(size > 0 ? bytes : "", static_cast<ULONG>(size), &written);
    if (FAILED(hr)) {
        stream->Release();
        stream->Release();
        refuse(table, column, L"no memory for its " + std::to_wstring(size) + L" bytes.");
    }
    ISequentialStream* pointer = stream;
    if (!fl.bind_data3(&pointer, sizeof pointer, size, ordinal)) {
        stream->Release();
        stream->Release();
        refuse(table, column, L"the column is not bound as a stream.");
    }
    tk_log_message(1, "%d bytes processed", static_cast<int>(size));
}

void bind_date(mss_fast_load& fl, const ole_variant& value, const t_ftd& column, DBORDINAL ordinal,
               const std::wstring& table) {
    tk_log_message(1, "Processing date: %s", value.to_string().c_str());
    ole_date date = value.get_type() == VT_DATE ? value.date : ole_date(value.to_wstring());
    SYSTEMTIME t = date.is_valid() ? date.sys_time : SYSTEMTIME{};
    const DBTYPE type = fl.column_type(ordinal);
    if (type == DBTYPE_DBTIME2) {
        tk_log_message(1, "Processing pure time in MS SQL 2008+ way");
        DBTIME2 v{t.wHour, t.wMinute, t.wSecond,
                  date.microseconds != 0 ? date.microseconds * 1000u
                                         : fraction_of_milliseconds(t.wMilliseconds)};
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    if (t.wYear == 0 || t.wMonth == 0 || t.wDay == 0) {
        tk_log_message(2, "Found 0000-00-00 date, replace it");
        t.wYear = 1899;
        t.wMonth = 12;
        t.wDay = 30;
    } else if (t.wYear > 9999) {
        tk_log_message(2, type == DBTYPE_DBDATE ? "Date is too much, truncating it"
                                                : "Datetime is too much, truncating it");
        t.wYear = 9999;
    }
    // FreeTDS's bulk copy moves dates before 1600-03-01 by a day or two, and a date outside a
    // datetime's (precision 23) or smalldatetime's (16) range fails the whole batch on the
    // server: a statement stores such a date or refuses its row alone (242).
    const long day = t.wYear * 10000L + t.wMonth * 100L + t.wDay;
    const BYTE precision = fl.column_precision(ordinal);
    if (day < 16000301L || (type == DBTYPE_DBTIMESTAMP && precision == 23 && day < 17530101L) ||
        (type == DBTYPE_DBTIMESTAMP && precision == 16 && (day < 19000101L || day > 20790606L))) {
        by_statement();
    }
    if (type == DBTYPE_DBDATE) {
        tk_log_message(1, "Processing pure date in MS SQL 2008+ way");
        DBDATE v{static_cast<std::int16_t>(t.wYear), t.wMonth, t.wDay};
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    tk_log_message(1, "Basic processing date/time value, microseconds=%d",
                   static_cast<int>(date.microseconds));
    DBTIMESTAMP ts{static_cast<std::int16_t>(t.wYear),
                   t.wMonth,
                   t.wDay,
                   t.wHour,
                   t.wMinute,
                   t.wSecond,
                   date.microseconds != 0 ? date.microseconds * 1000u
                                          : fraction_of_milliseconds(t.wMilliseconds)};
    tk_log_message(1, "ts.hour=%d, ts.minute=%d, ts.second=%d", ts.hour, ts.minute, ts.second);
    tk_log_message(1, "ts.fraction=%d", static_cast<int>(ts.fraction));
    bind_fixed(fl, ts, ordinal, table, column);
}

// Binds one present value in the form the rowset's column takes it.
void bind_value(mss_fast_load& fl, const udb_field& value, const t_ftd& column, DBORDINAL ordinal,
                const mss_engine& engine, const std::wstring& table) {
    const DBTYPE type = fl.column_type(ordinal);
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8: {
        std::int64_t v = 0;
        if (!exact_integer(value, v) || !fits(type, v)) {
            by_statement(); // the server converts, rounds or refuses it (8115, 220, 245)
        }
        tk_log_message(1, "Got integer: %lld", static_cast<long long>(v));
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
    case DBTYPE_R4: {
        const double wide = value.to_double();
        if (!std::isfinite(wide) || std::fabs(wide) > std::numeric_limits<float>::max() ||
            (wide != 0 && std::fabs(wide) < std::numeric_limits<float>::min())) {
            by_statement(); // beyond real: the server refuses it (8115) or says what it keeps
        }
        const float v = static_cast<float>(wide);
        tk_log_message(1, "Got VT_R4: %f", static_cast<double>(v));
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    case DBTYPE_R8: {
        const double v = value.to_double();
        if (!std::isfinite(v) || (v != 0 && std::fabs(v) < std::numeric_limits<double>::min())) {
            by_statement(); // FreeTDS's bulk copy fails on it with the rows of its batch
        }
        tk_log_message(1, "Got VT_R8: %lg", v);
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    case DBTYPE_CY: {
        ole_variant cy = value;
        if (cy.get_type() != VT_CY) {
            cy.change_type(VT_CY);
        }
        bind_fixed(fl, cy.var.cyVal, ordinal, table, column);
        return;
    }
    case DBTYPE_BOOL: {
        const VARIANT_BOOL v = value.to_bool() ? VARIANT_TRUE : VARIANT_FALSE;
        tk_log_message(1, "Got VT_BOOL: %d", v != 0 ? 1 : 0);
        bind_fixed(fl, v, ordinal, table, column);
        return;
    }
    case DBTYPE_NUMERIC: {
        tk_log_message(1, "Got VT_DECIMAL: %s", value.to_string().c_str());
        tk_log_message(1, "Schema prec/scale: %d/%d", column.prec, column.scale);
        const DB_NUMERIC n = to_numeric(value);
        // More integer digits than the column holds (the bulk copy would fail on the client
        // and take the rows of its batch with it), or more fraction digits (it would cut them
        // where the server rounds): a statement stores or refuses it.
        const BYTE precision = fl.column_precision(ordinal);
        const BYTE scale = fl.column_scale(ordinal);
        if (precision > 0 && precision >= scale) {
            unsigned __int128 magnitude = 0;
            for (int i = DB_NUMERIC_VAL_LEN - 1; i >= 0; --i) {
                magnitude = (magnitude << 8) | n.val[i];
            }
            const BYTE extra = n.scale > scale ? static_cast<BYTE>(n.scale - scale) : 0;
            bool cut = false;
            for (BYTE i = 0; i < n.scale; ++i) {
                cut = cut || (i < extra && magnitude % 10 != 0);
                magnitude /= 10;
            }
            int digits = 0;
            for (; magnitude != 0; magnitude /= 10) {
                ++digits;
            }
            if (cut || digits > precision - scale) {
                by_statement();
            }
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
        tk_log_message(2, "Binding GUID via binary array");
        const ole_guid_extractor guid(value.to_wstring());
        if (!guid.valid) {
            refuse(table, column, L"it is not a GUID.");
        }
        BYTE bytes[16];
        guid.get_bytes(bytes);
        bind_checked(fl, bytes, 16, 16, ordinal, table, column);
        return;
    }
    case DBTYPE_BYTES: {
        tk_log_message(1, "Direct binding");
        uint8_t* bytes = nullptr;
        const unsigned n = is_binary(value.get_type()) || value.get_type() == VT_BSTR
                               ? value.get_bytes(&bytes)
                               : 0;
        const bool owned = value.get_type() == VT_BSTR && n > 0;
        tk_log_message(1, "Processing BLOB: size=%d", static_cast<int>(n));
        if (n > fl.column_size(ordinal)) {
            if (owned) {
                delete[] bytes;
            }
            refuse(table, column,
                   L"its " + std::to_wstring(n) + L" bytes do not fit the " +
                       std::to_wstring(fl.column_size(ordinal)) +
                       L" of the column (String or binary data would be truncated).");
        }
        // A zero-length value stays zero-length: a non-null pointer tells it from NULL.
        static const BYTE none = 0;
        try {
            bind_checked(fl, n > 0 ? bytes : &none, n, n, ordinal, table, column);
        } catch (...) {
            if (owned) {
                delete[] bytes;
            }
            throw;
        }
        if (owned) {
            delete[] bytes;
        }
        return;
    }
    case DBTYPE_IUNKNOWN: {
        if (is_binary(value.get_type()) || is_binary(column.type)) {
            uint8_t* bytes = nullptr;
            const unsigned n = value.get_bytes(&bytes);
            tk_log_message(1, "Processing BLOB: size=%d", static_cast<int>(n));
            const bool owned = value.get_type() == VT_BSTR && n > 0;
            try {
                bind_stream(fl, bytes, n, ordinal, table, column);
            } catch (...) {
                if (owned) {
                    delete[] bytes;
                }
                throw;
            }
            if (owned) {
                delete[] bytes;
            }
            return;
        }
        tk_log_message(1, "Convert as a string");
        // The stream holds what the rowset's column takes: bytes of the code page for a
        // character column, UTF-16 for a Unicode one.
        const DBTYPE reported = fl.column_reported_type(ordinal);
        const bool narrow_stream =
            reported == DBTYPE_STR ||
            (reported != DBTYPE_WSTR &&
             (!engine.is_unicode() || starts_with_ignoring_case(column.native_type, L"varchar") ||
              starts_with_ignoring_case(column.native_type, L"char") ||
              starts_with_ignoring_case(column.native_type, L"text")));
        if (narrow_stream) {
            tk_log_message(1, "MAPPING WSTRING->STRING");
            const std::string narrow = tk_to_string(value.to_wstring(), -1);
            bind_stream(fl, narrow.data(), narrow.size(), ordinal, table, column);
        } else {
            std::u16string holder;
            const std::u16string_view text = utf16_of(value, holder);
            bind_stream(fl, text.data(), text.size() * 2, ordinal, table, column);
        }
        return;
    }
    default:
        break;
    }
    // Text: STR and WSTR columns, and any type the rowset would convert from text.
    tk_log_message(1, "Convert as a string");
    std::wstring custom;
    const bool by_rule = udb_custom_conversion::is_acceptable2(value);
    if (by_rule) {
        tk_log_message(1, "Custom conversion is acceptable");
        custom = udb_custom_conversion::handle2(value);
        custom = custom.size() >= 2 ? custom.substr(1, custom.size() - 2) : std::wstring();
    }
    tk_log_message(1, "dbtype=%d, native_type='%s'", type, utf8(column.native_type).c_str());
    const bool narrow = type == DBTYPE_STR || (!engine.is_unicode() && type == DBTYPE_WSTR) ||
                        starts_with_ignoring_case(column.native_type, L"varchar") ||
                        starts_with_ignoring_case(column.native_type, L"char") ||
                        starts_with_ignoring_case(column.native_type, L"text");
    // The characters the column takes: its row slot, and for a text column its declared size.
    const DBLENGTH slot = fl.column_size(ordinal);
    std::int64_t limit = type == DBTYPE_WSTR ? (static_cast<std::int64_t>(slot) - 2) / 2
                                             : static_cast<std::int64_t>(slot) - 1;
    if (column.type == VT_BSTR && column.size > 0 && column.size < limit) {
        limit = column.size;
    }
    if (narrow && type != DBTYPE_WSTR) {
        const std::wstring wide = by_rule ? custom : value.to_wstring();
        // The bulk copy would end the text at a NUL, and FreeTDS converts text into the
        // database's code page whatever the column's collation, so a character beyond ASCII
        // could arrive as another one or as '?': a statement's Unicode literal reaches the
        // column's own code page.
        for (const wchar_t c : wide) {
            if (c == L'\0' || static_cast<std::uint32_t>(c) > 0x7F) {
                by_statement();
            }
        }
        const std::string text = tk_to_string(wide, -1);
        tk_log_message(1, "Binding ANSI string: expected size=%d, actual size=%d",
                       static_cast<int>(limit), static_cast<int>(text.size()));
        if (static_cast<std::int64_t>(wide.size()) > limit) {
            refuse(table, column,
                   L"its " + std::to_wstring(wide.size()) + L" characters do not fit the " +
                       std::to_wstring(limit) +
                       L" of the column (String or binary data would "
                       L"be truncated).");
        }
        static const char none = 0;
        bind_checked(fl, text.empty() ? &none : text.data(), text.size(), text.size(), ordinal,
                     table, column);
        return;
    }
    std::u16string holder;
    std::u16string_view text;
    if (by_rule) {
        holder = tk_to_utf16(custom);
        text = holder;
    } else {
        text = utf16_of(value, holder);
    }
    if (text.find(u'\0') != std::u16string_view::npos) {
        by_statement(); // the bulk copy would end the text at the NUL
    }
    tk_log_message(1, "Binding UNICODE string: expected size=%d, actual size=%d",
                   static_cast<int>(limit), static_cast<int>(text.size() * 2));
    if (static_cast<std::int64_t>(text.size()) > limit) {
        refuse(table, column,
               L"its " + std::to_wstring(text.size()) + L" UTF-16 units do not fit the " +
                   std::to_wstring(limit) +
                   L" of the column (String or binary data would be truncated).");
    }
    static const char16_t none = 0;
    bind_checked(fl, text.empty() ? &none : text.data(), text.size() * 2, text.size() * 2, ordinal,
                 table, column);
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

void mss_table::bind_record(const udb_record& record) {
    const mss_engine* engine = mss_engine::instance();
    for (std::size_t i = 0; i < record.size() && i < schema.size(); ++i) {
        const DBORDINAL ordinal = i + 1;
        const t_ftd& column = *schema[i];
        const udb_field* value = record[i].get();
        static const udb_field empty;
        if (value == nullptr) {
            value = &empty;
        }
        tk_log_message(1, "Field %d has vartype=%d", static_cast<int>(i),
                       static_cast<int>(value->get_type()));
        if (value->get_type() == VT_EMPTY || value->get_type() == VT_NULL) {
            if (column.b_not_null) {
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
