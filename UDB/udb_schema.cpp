// Column descriptors and the schema of a table.
#include "UDB/udb_schema.h"

#include "UDB/udb_util.h"

#include "TK/tk_log.h"

#include <algorithm>
#include <cmath>
#include <utility>

t_ftd::t_ftd(std::int32_t size, const std::wstring& name, VARTYPE type, bool b_not_null,
             bool b_auto_num, const ole_variant& default_value, std::int32_t dw_reserved,
             const std::wstring& native_type)
    : size(size), name(name), type(type), native_type(native_type), b_auto_num(b_auto_num),
      b_not_null(b_not_null), default_value(default_value), dw_reserved(dw_reserved) {
    tk_log_message(1, "t_ftd::ctor2");
    tk_log_wmessage(1, L"\tfield name='%ls', vartype=%d, size=%d, b_not_null=%d, reserved=%d",
                    name.c_str(), type, size, b_not_null, dw_reserved);
}

namespace {

bool is_money(VARTYPE vt) {
    return vt == VT_DECIMAL || vt == VT_CY;
}

bool is_text(VARTYPE vt) {
    return vt == VT_BSTR || vt == 30 || vt == 31; // VT_LPSTR, VT_LPWSTR
}

} // namespace

bool udb_is_number_type(VARTYPE vt) {
    return ole_variant::is_numeric(vt) && vt != VT_INT && vt != VT_UINT;
}

bool udb_is_bytes_type(VARTYPE vt) {
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array;
}

bool t_ftd::operator==(const t_ftd& that) const {
    tk_log_message(1, "t_ftd::operator ==");
    if (is_money(type) && is_money(that.type)) {
        return true;
    }
    if (type != that.type) {
        return false;
    }
    return type != VT_BSTR || size == that.size;
}

namespace {

// The whole numbers a column holds, as a closed interval; `exact` false for a column that holds
// no whole number exactly as it was given (a YEAR reads 5 as 2005).
struct number_range {
    bool exact = false;
    long double low = 0;
    long double high = 0;
};

constexpr long double two_to(int bits) {
    long double value = 1;
    for (int i = 0; i < bits; ++i) {
        value *= 2;
    }
    return value;
}

number_range integer_range(const t_ftd& column) {
    const auto signed_bits = [](int bits) {
        return number_range{true, -two_to(bits - 1), two_to(bits - 1) - 1};
    };
    const auto unsigned_bits = [](int bits) { return number_range{true, 0, two_to(bits) - 1}; };
    switch (column.type) {
    case VT_BOOL:
        return {true, 0, 1};
    case VT_I1:
        return signed_bits(8);
    case VT_UI1:
        return unsigned_bits(8);
    case VT_I2:
        return signed_bits(16);
    case VT_UI2:
        return column.dw_reserved == udb_subtype_year ? number_range{} : unsigned_bits(16);
    case VT_I4:
    case VT_INT:
        return signed_bits(column.dw_reserved == udb_subtype_medium ? 24 : 32);
    case VT_UI4:
    case VT_UINT:
        return unsigned_bits(column.dw_reserved == udb_subtype_medium ? 24 : 32);
    case VT_I8:
        return signed_bits(64);
    case VT_UI8:
        return unsigned_bits(64);
    default:
        return {};
    }
}

// Decimal digits of the largest magnitude of a range.
int digits_of(const number_range& range) {
    long double largest = std::max(-range.low, range.high);
    int digits = 1;
    while (largest >= 10) {
        largest /= 10;
        ++digits;
    }
    return digits;
}

// Precision and scale of a decimal column; money without them is SQL Server's money.
std::pair<int, int> decimal_digits(const t_ftd& column) {
    if (column.prec <= 0 && column.scale <= 0) {
        return {19, 4};
    }
    return {column.prec, column.scale};
}

// Significant decimal digits a floating-point column gives back as they were written.
int float_digits(VARTYPE vt) {
    return vt == VT_R4 ? 6 : 15;
}

bool number_fits(const t_ftd& src, const t_ftd& dest) {
    const number_range dest_range = integer_range(dest);
    const bool dest_decimal = is_money(dest.type);
    if (dest_decimal && dest.dw_reserved == udb_subtype_unsigned &&
        (integer_range(src).low < 0 || !integer_range(src).exact)) {
        return false;
    }
    const bool dest_float = dest.type == VT_R4 || dest.type == VT_R8;
    if (src.type == VT_R4 || src.type == VT_R8) {
        return dest.type == VT_R8 || (dest.type == VT_R4 && src.type == VT_R4);
    }
    if (is_money(src.type)) {
        const auto [prec, scale] = decimal_digits(src);
        if (dest_decimal) {
            const auto [dest_prec, dest_scale] = decimal_digits(dest);
            return dest_scale >= scale && dest_prec - dest_scale >= prec - scale;
        }
        if (dest_float) {
            return prec <= float_digits(dest.type);
        }
        const long double largest = std::pow(10.0L, prec) - 1;
        return dest_range.exact && scale == 0 && dest_range.low <= -largest &&
               dest_range.high >= largest;
    }
    const number_range range = integer_range(src);
    if (!range.exact) {
        return false;
    }
    if (dest_decimal) {
        const auto [dest_prec, dest_scale] = decimal_digits(dest);
        return dest_prec - dest_scale >= digits_of(range);
    }
    if (dest_float) {
        return digits_of(range) <= float_digits(dest.type);
    }
    return dest_range.exact && dest_range.low <= range.low && dest_range.high >= range.high &&
           (dest.type != VT_BOOL || src.type == VT_BOOL);
}

// Kind of a date column: 1 date and time, 2 date, 3 time (a timestamp's subtype 0 is none of
// them: it holds only 1970 to 2038).
int date_kind(const t_ftd& column) {
    return column.dw_reserved & 3;
}

// The most characters a value of a column that holds no text takes as text; 0 when unknown.
std::uint32_t text_width(const t_ftd& column) {
    if (column.type == VT_DATE) {
        const int fraction = std::min(column.scale, 6);
        const std::uint32_t seconds = fraction > 0 ? 1 + static_cast<std::uint32_t>(fraction) : 0;
        switch (date_kind(column)) {
        case 2:
            return 10; // 9999-12-31
        case 3:
            return 8 + seconds; // 23:59:59.999999
        default:
            return 19 + seconds;
        }
    }
    if (is_money(column.type)) {
        const auto [prec, scale] = decimal_digits(column);
        return static_cast<std::uint32_t>(prec) + 1 + (scale > 0 ? 1 : 0);
    }
    if (column.type == VT_R4) {
        return 15; // -1.17549435e-38
    }
    if (column.type == VT_R8) {
        return 24; // -2.2250738585072014e-308
    }
    const number_range range = integer_range(column);
    if (range.exact) {
        return static_cast<std::uint32_t>(digits_of(range)) + (range.low < 0 ? 1 : 0);
    }
    return 0;
}

bool date_fits(const t_ftd& src, const t_ftd& dest) {
    const int kind = date_kind(src) == 0 ? 1 : date_kind(src);
    const int dest_kind = date_kind(dest);
    // MySQL keeps at most 6 fractional digits: the column the run itself creates has no more.
    const bool fraction_kept = dest.scale >= std::min(src.scale, 6);
    switch (kind) {
    case 2:
        return dest_kind == 2 || dest_kind == 1;
    case 3:
        return dest_kind == 3 && fraction_kept;
    default:
        return dest_kind == 1 && fraction_kept;
    }
}

} // namespace

bool t_ftd::conform_to(const t_ftd& that) const {
    tk_log_message(1, "t_ftd::conform_to");
    tk_log_message(1, "that.type=%d", that.type);
    const auto src_size = static_cast<std::uint32_t>(size);
    const auto dest_size = static_cast<std::uint32_t>(that.size);
    if (type == VT_INT && that.type == VT_INT) {
        return true;
    }
    if (ole_variant::is_numeric(that.type)) {
        // Any number goes into any numeric column, but the server rounds or clips what does not
        // fit without an error: the column must hold every value of the source's type.
        return udb_is_number_type(type) && number_fits(*this, that);
    }
    if (that.type == VT_DATE) {
        tk_log_message(1, "Processing VT_DATE, size=%d", size);
        return (type == VT_DATE && date_fits(*this, that)) || (type == VT_BSTR && size == 19);
    }
    if (is_text(that.type)) {
        if (udb_is_bytes_type(type)) {
            return false;
        }
        if (!is_text(type)) {
            // A number or date written into a text column is cut where the column is shorter.
            const std::uint32_t width = text_width(*this);
            return dest_size == 0 || width == 0 || dest_size >= width;
        }
        tk_log_message(1, "Src and dest columns are both text");
        // Destination sizes of 65535 and more hold any text.
        return dest_size == 0 || dest_size >= src_size || dest_size >= 65535;
    }
    if (udb_is_bytes_type(that.type)) {
        if (that.dw_reserved == udb_subtype_fixed_bytes) {
            // Zeros pad every shorter value: only bytes of the column's own length stay as
            // they are (a source's binary and varbinary are not told apart).
            return udb_is_bytes_type(type) && src_size == dest_size;
        }
        if (!is_text(type) && !udb_is_bytes_type(type)) {
            return true;
        }
        if (type == that.type) {
            return true;
        }
        tk_log_message(1, "Src is BLOB and dest is TEXT");
        return dest_size == 0 || dest_size >= src_size;
    }
    // A type no rule knows takes only its own values.
    return type == that.type;
}

udb_schema::udb_schema(bool b_owner) : b_owner(b_owner) {
    tk_log_message(1, "udb_schema::ctor");
}

udb_schema::~udb_schema() {
    tk_log_message(1, "udb_schema::dtor");
    clear();
    tk_log_message(1, "udb_schema::dtor - at the end");
}

void udb_schema::reset() {
    tk_log_message(1, "udb_schema::reset");
    if (b_owner) {
        for (auto& column : *this) {
            column.reset();
        }
    }
    clear();
    tk_log_message(1, "udb_schema::reset - END");
}

bool udb_schema::conform_to(const udb_schema& dest, bool by_name) const {
    tk_log_message(1, "udb_schema::conform_to");
    if (size() != dest.size()) {
        tk_log_message(2, "Tables are not conformed: src_size=%d, dest_size=%d",
                       static_cast<int>(size()), static_cast<int>(dest.size()));
        return false;
    }
    for (std::size_t i = 0; i < size(); ++i) {
        static const t_ftd empty_column;
        const t_ftd& src = (*this)[i] ? *(*this)[i] : empty_column;
        const t_ftd* target = nullptr;
        if (!by_name) {
            target = dest[i] ? dest[i].get() : &empty_column;
        } else {
            if (!dest.find_field(src.name)) {
                tk_log_wmessage(2, L"Field '%ls' is not found in record", src.name.c_str());
                return false;
            }
            target = &dest.get_field2(src.name);
        }
        if (!src.conform_to(*target)) {
            tk_log_message(2,
                           "Column #%d doesn't conform (src_vt=%d, src_size=%d, dest_vt=%d, "
                           "dest_size=%d)",
                           static_cast<int>(i + 1), src.type, src.size, target->type, target->size);
            return false;
        }
    }
    return true;
}

t_ftd* udb_schema::find(const std::wstring& name) const {
    for (const auto& column : *this) {
        if (column && udb_equal_no_case(column->name, name)) {
            return column.get();
        }
    }
    return nullptr;
}

bool udb_schema::find_field(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::find_field(%ls)", name.c_str());
    tk_log_message(1, "Schema size=%d", static_cast<int>(size()));
    for (std::size_t i = 0; i < size(); ++i) {
        tk_log_message(1, "Iterating field #%d", static_cast<int>(i));
        const t_ftd* column = (*this)[i].get();
        if (column == nullptr) {
            continue;
        }
        tk_log_wmessage(1, L"Compare with field: '%ls'", column->name.c_str());
        if (udb_equal_no_case(column->name, name)) {
            tk_log_message(1, "Field found!!!");
            return true;
        }
    }
    tk_log_message(1, "Field NOT found!!!");
    return false;
}

namespace {

// The descriptor answered for a name that no column has, emptied again at every miss.
t_ftd& missing_column() {
    thread_local t_ftd empty;
    empty = t_ftd();
    return empty;
}

} // namespace

t_ftd& udb_schema::get_field1(const std::wstring& name) {
    tk_log_wmessage(1, L"udb_schema::get_field1(%ls)", name.c_str());
    if (t_ftd* column = find(name)) {
        return *column;
    }
    tk_log_wmessage(2, L"Field '%ls' not found", name.c_str());
    return missing_column();
}

const t_ftd& udb_schema::get_field2(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field2(%ls)", name.c_str());
    if (const t_ftd* column = find(name)) {
        return *column;
    }
    tk_log_wmessage(2, L"Field '%ls' not found", name.c_str());
    return missing_column();
}

std::int32_t udb_schema::get_field_idx(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field_idx(%ls)", name.c_str());
    for (std::size_t i = 0; i < size(); ++i) {
        const t_ftd* column = (*this)[i].get();
        if (column != nullptr && udb_equal_no_case(column->name, name)) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

std::uint32_t udb_schema::get_field_size(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field_size(%ls)", name.c_str());
    if (const t_ftd* column = find(name)) {
        return static_cast<std::uint32_t>(column->size);
    }
    tk_log_wmessage(3, L"Field '%ls' not found", name.c_str());
    return 0xFFFFFFFF;
}

VARTYPE udb_schema::get_field_type(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field_type(%ls)", name.c_str());
    if (const t_ftd* column = find(name)) {
        return column->type;
    }
    tk_log_wmessage(2, L"Field '%ls' not found", name.c_str());
    return VT_NULL;
}
