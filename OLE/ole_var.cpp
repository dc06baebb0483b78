// The value type: storage, copying, raw accessors, and the conversions to and from text and
// between type codes.
#include "OLE/ole_var.h"

#include "OLE/ole_trace.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/unicode.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <locale.h>
#include <new>

namespace {

const char hex_upper[] = "0123456789ABCDEF";

// ---- Small readers of text, as the C library reads numbers but without its locale ----------

bool is_blank_char(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The C locale, so that "." is the decimal point whatever LC_NUMERIC says.
locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

double read_double(const std::string& text) {
    return strtod_l(text.c_str(), nullptr, c_locale());
}

float read_float(const std::string& text) {
    return strtof_l(text.c_str(), nullptr, c_locale());
}

// The leading decimal integer (blanks and a sign allowed), clamped to the 64-bit range; 0 when
// there are no digits. What strtoll reads in the C locale, without its locale look-ups: this
// runs for every integer of every row. Like strtoll it stops at a NUL.
long long read_leading_integer(const std::string& text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end && is_blank_char(*p)) {
        ++p;
    }
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Unsigned, so that a second sign is not read.
    unsigned long long magnitude = 0;
    const auto [stop, error] = std::from_chars(p, end, magnitude);
    if (stop == p) {
        return 0;
    }
    constexpr unsigned long long high = std::numeric_limits<long long>::max();
    if (negative) {
        if (error == std::errc::result_out_of_range || magnitude > high + 1) {
            return std::numeric_limits<long long>::min();
        }
        return magnitude == high + 1 ? std::numeric_limits<long long>::min()
                                     : -static_cast<long long>(magnitude);
    }
    if (error == std::errc::result_out_of_range || magnitude > high) {
        return std::numeric_limits<long long>::max();
    }
    return static_cast<long long>(magnitude);
}

// "%u" / "%llu": a leading sign is accepted and a negative number wraps.
unsigned long long read_unsigned(const std::string& text) {
    return strtoull(text.c_str(), nullptr, 10);
}

std::string commas_to_points(std::string text) {
    for (char& c : text) {
        if (c == ',') {
            c = '.';
        }
    }
    return text;
}

bool equals_no_case(const std::string& text, const char* word) {
    std::size_t i = 0;
    for (; word[i] != 0; ++i) {
        if (i >= text.size()) {
            return false;
        }
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != word[i]) {
            return false;
        }
    }
    return i == text.size();
}

// -1 for a true word, 0 for a false word, 1 for anything else.
int boolean_word(const std::string& text) {
    for (const char* word : {"yes", "t", "true"}) {
        if (equals_no_case(text, word)) {
            return -1;
        }
    }
    for (const char* word : {"no", "f", "false"}) {
        if (equals_no_case(text, word)) {
            return 0;
        }
    }
    return 1;
}

// A plain decimal number: [blanks][sign]digits[.digits][blanks], or [sign].digits. `exact`
// receives it with the leading zeros of its integer part and a "+" removed, the fraction kept
// as written; `significant` the digits it holds once the integer part's leading zeros are gone.
bool plain_decimal(const std::string& text, std::string& exact, std::size_t& significant) {
    std::size_t i = 0;
    std::size_t end = text.size();
    while (i < end && is_blank_char(text[i])) {
        ++i;
    }
    while (end > i && is_blank_char(text[end - 1])) {
        --end;
    }
    bool negative = false;
    if (i < end && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string integer;
    std::string fraction;
    bool point = false;
    bool digits = false;
    for (; i < end; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            (point ? fraction : integer).push_back(c);
            continue;
        }
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        return false;
    }
    if (!digits) {
        return false;
    }
    const std::size_t first = integer.find_first_not_of('0');
    integer = first == std::string::npos ? "0" : integer.substr(first);
    significant = (integer == "0" ? 0 : integer.size()) + fraction.size();
    const bool zero = integer == "0" && fraction.find_first_not_of('0') == std::string::npos;
    exact = negative && !zero ? "-" : "";
    exact += integer;
    if (!fraction.empty()) {
        exact += '.';
        exact += fraction;
    }
    return true;
}

// ---- Byte arrays ---------------------------------------------------------------------------

bool is_byte_array_code(VARTYPE vt) {
    return vt == VT_BLOB || vt == ole_variant::vt_byte_array;
}

const uint8_t* array_bytes(const SAFEARRAY* array) {
    return static_cast<const uint8_t*>(array->pvData);
}

void append_hex(std::string& out, const uint8_t* bytes, std::size_t count) {
    const std::size_t at = out.size();
    out.resize(at + 2 * count);
    char* p = out.data() + at;
    for (std::size_t i = 0; i < count; ++i) {
        *p++ = hex_upper[bytes[i] >> 4];
        *p++ = hex_upper[bytes[i] & 0x0F];
    }
}

template <typename Char> int hex_nibble(Char c) {
    if (c >= Char('0') && c <= Char('9')) {
        return static_cast<int>(c - Char('0'));
    }
    if (c >= Char('A') && c <= Char('F')) {
        return static_cast<int>(c - Char('A')) + 10;
    }
    if (c >= Char('a') && c <= Char('f')) {
        return static_cast<int>(c - Char('a')) + 10;
    }
    return 0; // not a hexadecimal digit: counts as 0
}

// ---- Text of BSTRs -------------------------------------------------------------------------

std::u16string_view bstr_view(BSTR text) {
    return text == nullptr ? std::u16string_view() : std::u16string_view(text, SysStringLen(text));
}

BSTR make_bstr(std::u16string_view text) {
    if (text.size() > std::numeric_limits<unsigned int>::max() / 2) {
        return nullptr;
    }
    return SysAllocStringLen(text.data(), static_cast<unsigned int>(text.size()));
}

// The number of UTF-8 bytes of the character at `unit`, and the units it takes.
void utf8_char(std::u16string_view text, std::size_t unit, char* out, int& bytes, int& units) {
    char32_t c = text[unit];
    units = 1;
    if (c >= 0xD800 && c <= 0xDBFF && unit + 1 < text.size() && text[unit + 1] >= 0xDC00 &&
        text[unit + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[unit + 1] - 0xDC00);
        units = 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD; // unpaired surrogate
    }
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        bytes = 1;
    } else if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        bytes = 2;
    } else if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        bytes = 3;
    } else {
        out[0] = static_cast<char>(0xF0 | (c >> 18));
        out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[3] = static_cast<char>(0x80 | (c & 0x3F));
        bytes = 4;
    }
}

template <typename T> void append_integer(std::string& out, T value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_scientific(std::string& out, double value, int precision) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific, precision);
    out.append(buffer, result.ptr);
}

// 9 significant digits bring a float back exactly when the text is read as a float. MySQL reads
// it as a double first and then narrows it: near the limits of the type (3.40282347e+38 lies
// above the largest float) or where the two roundings disagree, that would refuse or change the
// value, so such a float is written with the 17 digits of its exact double value instead.
void append_float(std::string& out, float value) {
    const std::size_t start = out.size();
    append_scientific(out, value, 8);
    double back = 0;
    std::from_chars(out.data() + start, out.data() + out.size(), back);
    if (std::isfinite(value) && (std::fabs(back) > std::numeric_limits<float>::max() ||
                                 static_cast<float>(back) != value)) {
        out.resize(start);
        append_scientific(out, value, 16);
    }
}

// Reads `text` as a DECIMAL with "," taken for ".". The short ASCII text of a column's value is
// widened on the stack; anything else goes through the general conversion. Both stop at a NUL.
HRESULT decimal_from_text(const std::string& text, DECIMAL* out) {
    char16_t wide[64];
    if (text.size() < std::size(wide)) {
        std::size_t n = 0;
        for (const char c : text) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                break;
            }
            wide[n++] = c == ',' ? u'.' : static_cast<char16_t>(c);
        }
        if (n == text.size()) {
            wide[n] = 0;
            return VarDecFromStr(wide, 1033, 0, out);
        }
    }
    const std::u16string converted = tk_utf8_to_utf16(commas_to_points(text));
    return VarDecFromStr(converted.c_str(), 1033, 0, out);
}

// Appends `value` as "[-]digits[.fraction]", the en-US text of a DECIMAL, straight into `out`
// rather than through a BSTR: this runs for every decimal of every row. A DECIMAL with a scale
// over 28 or stray sign bits appends nothing, as its text cannot be made.
void append_decimal(std::string& out, const DECIMAL& value) {
    if (value.scale > DECIMAL_MAX_SCALE || (value.sign & ~DECIMAL_NEG) != 0) {
        return;
    }
    // 29 digits at most (the magnitude is below 2^96). Above 64 bits it is split at 10^19 so that
    // both halves are formatted with 64-bit arithmetic.
    char digits[32];
    char* end = digits;
    if (value.Hi32 == 0) {
        end = std::to_chars(digits, digits + sizeof digits, value.Lo64).ptr;
    } else {
        constexpr uint64_t e19 = 10000000000000000000ULL;
        const unsigned __int128 magnitude =
            (static_cast<unsigned __int128>(value.Hi32) << 64) | value.Lo64;
        end = std::to_chars(digits, digits + sizeof digits, static_cast<uint64_t>(magnitude / e19))
                  .ptr;
        char low[20];
        const char* low_end =
            std::to_chars(low, low + sizeof low, static_cast<uint64_t>(magnitude % e19)).ptr;
        const std::size_t low_size = static_cast<std::size_t>(low_end - low);
        std::memset(end, '0', 19 - low_size);
        end += 19 - low_size;
        std::memcpy(end, low, low_size);
        end += low_size;
    }
    const std::size_t n = static_cast<std::size_t>(end - digits);
    const std::size_t scale = value.scale;
    if ((value.sign & DECIMAL_NEG) != 0 && (value.Hi32 != 0 || value.Lo64 != 0)) {
        out.push_back('-');
    }
    if (scale == 0) {
        out.append(digits, n);
    } else if (n <= scale) {
        out.append("0.", 2);
        out.append(scale - n, '0');
        out.append(digits, n);
    } else {
        out.append(digits, n - scale);
        out.push_back('.');
        out.append(digits + n - scale, scale);
    }
}

// Appends a BSTR of ASCII text (numbers), with "," made "."; frees it.
void append_number_bstr(std::string& out, BSTR text) {
    for (char16_t c : bstr_view(text)) {
        out.push_back(c == u',' ? '.' : static_cast<char>(c));
    }
    SysFreeString(text);
}

// Truncation of a floating-point value to an integer type, saturating at its limits and 0 for
// NaN: the conversion the C++ language leaves undefined out of range.
template <typename T> T saturate(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (value >= std::ldexp(1.0, std::numeric_limits<T>::digits)) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(value);
}

// x + 0.5 or x - 0.5, truncated: rounding half away from zero.
double half_away(double x) {
    return x >= 0 ? x + 0.5 : x - 0.5;
}

} // namespace

// ---- Exceptions ----------------------------------------------------------------------------

ole_cast_exception::ole_cast_exception()
    : tk_exception("Cannot cast from source type to destination type", 0) {
}

ole_type_exception::ole_type_exception()
    : tk_exception("The operating type is not supported yet", 1) {
}

// ---- Construction, copying, destruction ----------------------------------------------------

ole_variant::ole_variant() {
    OLE_TRACE(1, "ole_variant::empty ctor");
    VariantInit(&var);
}

ole_variant::ole_variant(const SYSTEMTIME& time) {
    OLE_TRACE(1, "ole_variant::ole_variant(SYSTEMTIME)");
    VariantInit(&var);
    set_date(ole_date(time));
}

ole_variant::ole_variant(const ole_variant& other) {
    OLE_TRACE(1, "ole_variant::copy ctor");
    VariantInit(&var);
    copy_from(other);
}

ole_variant::ole_variant(ole_variant&& other) noexcept
    : hyper(other.hyper), uhyper(other.uhyper), date(other.date),
      exact_decimal(std::move(other.exact_decimal)) {
    std::memcpy(&var, &other.var, sizeof var);
    VariantInit(&other.var);
}

ole_variant::ole_variant(const std::wstring& text) {
    VariantInit(&var);
    attach_wstring(text);
}

ole_variant::ole_variant(const std::u16string& text) {
    VariantInit(&var);
    attach_u16string(text);
}

ole_variant::ole_variant(const std::vector<uint8_t>& bytes) {
    VariantInit(&var);
    attach_binary(bytes);
}

ole_variant::ole_variant(const ole_date& value) {
    OLE_TRACE(1, "ole_variant::ole_variant(ole_date)");
    VariantInit(&var);
    set_date(value);
}

ole_variant::ole_variant(unsigned size, const void* bytes) {
    OLE_TRACE(1, "ole_variant::ole_variant(%u, bytes)", size);
    VariantInit(&var);
    if (size != 0 && bytes == nullptr) {
        throw tk_mail_assertion("ole_var", 1320);
    }
    // A zero-length value (0x) stays a byte array: it is a value, not NULL.
    allocate_safe_array(size);
    if (size != 0) {
        std::memcpy(var.parray->pvData, bytes, size);
    }
}

ole_variant::ole_variant(double value) {
    VariantInit(&var);
    var.dblVal = value;
    var.vt = VT_R8;
}

ole_variant::ole_variant(const OLECHAR* text) {
    VariantInit(&var);
    *this = text;
}

ole_variant::ole_variant(bool value) {
    VariantInit(&var);
    var.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    var.vt = VT_BOOL;
}

ole_variant::~ole_variant() {
    if (var.vt == VT_CARRAY || var.vt == VT_DISPATCH || is_byte_array_code(var.vt)) {
        OLE_TRACE(2, "Just before SafeArrayDestroy0");
    }
    clear();
}

ole_variant& ole_variant::operator=(const ole_variant& other) {
    OLE_TRACE(1, "ole_variant::operator=(src.vt=%d)", other.var.vt);
    if (this != &other) {
        copy_from(other);
    }
    return *this;
}

ole_variant& ole_variant::operator=(ole_variant&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    clear();
    std::memcpy(&var, &other.var, sizeof var);
    VariantInit(&other.var);
    hyper = other.hyper;
    uhyper = other.uhyper;
    date = other.date;
    exact_decimal = std::move(other.exact_decimal);
    cursor_ = text_cursor{};
    return *this;
}

ole_variant& ole_variant::operator=(const std::wstring& text) {
    attach_wstring(text);
    return *this;
}

ole_variant& ole_variant::operator=(const std::vector<uint8_t>& bytes) {
    attach_binary(bytes);
    return *this;
}

ole_variant& ole_variant::operator=(const OLECHAR* text) {
    // Made before the old content goes: `text` may be this value's own BSTR.
    BSTR copy = SysAllocString(text);
    if (text != nullptr && copy == nullptr) {
        throw tk_mail_assertion("ole_var", 1469);
    }
    clear();
    var.bstrVal = copy;
    var.vt = VT_BSTR;
    return *this;
}

void ole_variant::copy_from(const ole_variant& other) {
    // A byte array relabelled VT_DISPATCH is still a byte array: copied and freed as one.
    VARIANT source = other.var;
    if (source.vt == VT_DISPATCH) {
        source.vt = vt_byte_array;
    }
    if (var.vt == VT_DISPATCH) {
        var.vt = vt_byte_array;
    }
    const HRESULT hr = VariantCopy(&var, &source);
    if (FAILED(hr)) {
        throw std::bad_alloc();
    }
    var.vt = other.var.vt;
    cursor_ = text_cursor{};
    exact_decimal = other.exact_decimal;
    switch (other.var.vt) {
    case VT_I8:
        hyper = other.hyper;
        break;
    case VT_UI8:
        uhyper = other.uhyper;
        break;
    case VT_DATE:
        date = other.date;
        if (!SystemTimeToVariantTime(&date.sys_time, &var.date)) {
            tk_log_message(2, "Failed to convert SYSTEMTIME->VARIANT");
        }
        break;
    default:
        break;
    }
}

void ole_variant::set_date(const ole_date& value) {
    clear();
    date = value;
    var.vt = VT_DATE;
    if (!SystemTimeToVariantTime(&date.sys_time, &var.date)) {
        OLE_TRACE(2, "Failed to convert SYSTEMTIME->VARIANT");
    }
}

void ole_variant::clear() {
    if (var.vt == VT_DISPATCH) {
        var.vt = vt_byte_array; // only a relabelled byte array carries this code here
    }
    VariantClear(&var);
    exact_decimal.clear();
    cursor_ = text_cursor{};
}

// ---- Storage -------------------------------------------------------------------------------

void ole_variant::attach_wstring(const std::wstring& text) {
    OLE_TRACE(1, "ole_variant::attach_wstring");
    attach_u16string(tk_to_utf16(text));
}

void ole_variant::attach_u16string(const std::u16string& text) {
    BSTR copy = make_bstr(text);
    if (copy == nullptr) {
        throw tk_mail_assertion("ole_var", 1469);
    }
    clear();
    var.bstrVal = copy;
    var.vt = VT_BSTR;
}

void ole_variant::attach_string(const std::string& text) {
    OLE_TRACE(1, "ole_variant::attach_string");
    BSTR copy = make_bstr(tk_utf8_to_utf16(text));
    if (copy == nullptr) {
        throw tk_mail_assertion("ole_var", 1434);
    }
    clear();
    var.bstrVal = copy;
    var.vt = VT_BSTR;
}

void ole_variant::attach_binary(const std::vector<uint8_t>& bytes) {
    OLE_TRACE(1, "ole_variant::attach_binary(%zu)", bytes.size());
    if (bytes.empty()) {
        return;
    }
    if (bytes.size() > std::numeric_limits<unsigned>::max()) {
        throw tk_mail_assertion("ole_var", 1354);
    }
    allocate_safe_array(static_cast<unsigned>(bytes.size()));
    std::memcpy(var.parray->pvData, bytes.data(), bytes.size());
}

void ole_variant::allocate_safe_array(unsigned size) {
    OLE_TRACE(1, "ole_variant::allocate_safe_array(%u)", size);
    cursor_ = text_cursor{};
    if (is_byte_array_code(var.vt) && var.parray != nullptr && var.parray->cDims == 1) {
        OLE_TRACE(1, "Redimension array");
        if (get_safe_array_size(var.parray) < 1) {
            throw tk_mail_assertion("ole_var", 1366);
        }
        const SAFEARRAYBOUND bound{size, var.parray->rgsabound[0].lLbound};
        if (FAILED(SafeArrayRedim(var.parray, &bound))) {
            throw tk_mail_assertion("ole_var", 1354);
        }
        return;
    }
    OLE_TRACE(1, "Re-initialize VARIANT");
    clear();
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, size);
    if (array == nullptr) {
        throw tk_mail_assertion("ole_var", 1354);
    }
    var.parray = array;
    var.vt = vt_byte_array;
}

// ---- Accessors -----------------------------------------------------------------------------

void ole_variant::get_date(SYSTEMTIME* time) const {
    if (time == nullptr) {
        return;
    }
    *time = var.vt == VT_DATE ? date.sys_time : SYSTEMTIME{};
}

bool ole_variant::is_numeric(VARTYPE vt) {
    constexpr uint32_t mask = (1u << VT_I2) | (1u << VT_I4) | (1u << VT_R4) | (1u << VT_R8) |
                              (1u << VT_CY) | (1u << VT_BOOL) | (1u << VT_DECIMAL) | (1u << VT_I1) |
                              (1u << VT_UI1) | (1u << VT_UI2) | (1u << VT_UI4) | (1u << VT_I8) |
                              (1u << VT_UI8) | (1u << VT_INT) | (1u << VT_UINT);
    return vt <= 23 && (mask & (1u << vt)) != 0;
}

bool ole_variant::is_date_or_string(VARTYPE vt) {
    return vt == VT_DATE || vt == VT_BSTR;
}

unsigned ole_variant::get_safe_array_size(const SAFEARRAY* array) {
    if (array == nullptr) {
        return 0;
    }
    OLE_TRACE(1, "get_safe_array_size(that=%p)", static_cast<const void*>(array));
    OLE_TRACE(1, "SAFEARRAY.cDims=%d", array->cDims);
    OLE_TRACE(1, "SAFEARRAY.cbElements=%u", array->cbElements);
    if (array->cDims != 1) {
        return 0;
    }
    const int64_t lower = array->rgsabound[0].lLbound;
    const int64_t upper = lower + static_cast<int64_t>(array->rgsabound[0].cElements) - 1;
    OLE_TRACE(1, "lower=%lld, upper=%lld", static_cast<long long>(lower),
              static_cast<long long>(upper));
    return upper < lower ? 0 : static_cast<unsigned>(upper - lower + 1);
}

void ole_variant::convert_to_byte_array(const uint8_t* bytes, unsigned count,
                                        std::vector<uint8_t>& out) {
    OLE_TRACE(1, "convert_to_byte_array(%u)", count);
    if (count == 0 || bytes == nullptr) {
        out.clear();
        return;
    }
    out.assign(bytes, bytes + count);
}

unsigned ole_variant::get_bytes(uint8_t** bytes) const {
    if (var.vt == VT_EMPTY || var.vt == VT_NULL) {
        OLE_TRACE(1, "OLE_Variant is empty");
        return 0;
    }
    if (var.vt == VT_BSTR) {
        const std::u16string_view text = bstr_view(var.bstrVal);
        const std::size_t size = win32::utf8_length(text);
        if (size > std::numeric_limits<unsigned>::max() - 1) {
            return 0;
        }
        auto* buffer = new uint8_t[size + 1];
        win32::write_utf8(reinterpret_cast<char*>(buffer), text);
        buffer[size] = 0;
        *bytes = buffer;
        return static_cast<unsigned>(size);
    }
    if (is_byte_array_code(var.vt)) {
        const unsigned n = get_safe_array_size(var.parray);
        if (n == 0) {
            return 0;
        }
        *bytes = static_cast<uint8_t*>(var.parray->pvData);
        return n;
    }
    throw tk_mail_assertion("ole_var", 1235);
}

int ole_variant::get_at(char* buffer, unsigned start, unsigned length) const {
    if (var.vt == VT_BSTR) {
        const std::u16string_view text = bstr_view(var.bstrVal);
        std::size_t unit = 0;
        std::size_t byte = 0;
        if (cursor_.text == var.bstrVal && cursor_.text != nullptr && cursor_.byte <= start &&
            cursor_.unit <= text.size()) {
            unit = cursor_.unit;
            byte = cursor_.byte;
        }
        char encoded[4];
        int bytes = 0;
        int units = 0;
        // Find the character that holds byte `start`.
        while (unit < text.size()) {
            utf8_char(text, unit, encoded, bytes, units);
            if (byte + static_cast<std::size_t>(bytes) > start) {
                break;
            }
            byte += static_cast<std::size_t>(bytes);
            unit += static_cast<std::size_t>(units);
        }
        if (unit >= text.size()) {
            cursor_ = text_cursor{var.bstrVal, unit, byte};
            buffer[0] = 0;
            return 0;
        }
        std::size_t skip = start - byte;
        std::size_t written = 0;
        while (unit < text.size() && written < length) {
            utf8_char(text, unit, encoded, bytes, units);
            const std::size_t available = static_cast<std::size_t>(bytes) - skip;
            const std::size_t take = std::min<std::size_t>(available, length - written);
            std::memcpy(buffer + written, encoded + skip, take);
            written += take;
            if (take < available) {
                break; // the rest of this character starts the next slice
            }
            byte += static_cast<std::size_t>(bytes);
            unit += static_cast<std::size_t>(units);
            skip = 0;
        }
        cursor_ = text_cursor{var.bstrVal, unit, byte};
        buffer[written] = 0;
        return static_cast<int>(written);
    }
    if (is_byte_array_code(var.vt)) {
        if (var.parray == nullptr || var.parray->cDims != 1) {
            return 0;
        }
        const unsigned n = get_safe_array_size(var.parray);
        if (start >= n) {
            return 0;
        }
        const unsigned count = std::min(length, n - start);
        const uint8_t* bytes = array_bytes(var.parray) + start;
        for (unsigned i = 0; i < count; ++i) {
            buffer[2 * i] = hex_upper[bytes[i] >> 4];
            buffer[2 * i + 1] = hex_upper[bytes[i] & 0x0F];
        }
        buffer[2 * count] = 0;
        return static_cast<int>(count);
    }
    return 0;
}

// ---- Text ----------------------------------------------------------------------------------

void ole_variant::append_string(std::string& out) const {
    switch (var.vt) {
    case VT_I2:
        append_integer(out, var.iVal);
        return;
    case VT_I1:
        append_integer(out, static_cast<int>(static_cast<signed char>(var.cVal)));
        return;
    case VT_I4:
        append_integer(out, var.lVal);
        return;
    case VT_UI1:
        append_integer(out, static_cast<unsigned>(var.bVal));
        return;
    case VT_UI2:
        append_integer(out, static_cast<unsigned>(var.uiVal));
        return;
    case VT_UI4:
    case VT_UINT:
        append_integer(out, var.ulVal);
        return;
    case VT_I8:
        append_integer(out, hyper);
        return;
    case VT_UI8:
        append_integer(out, uhyper);
        return;
    case VT_R4:
    case VT_R8: {
        const double value = var.vt == VT_R4 ? static_cast<double>(var.fltVal) : var.dblVal;
        if (std::isnan(value)) {
            tk_log_message(3, "Got NaN, replace it with 0");
            out.push_back('0');
            return;
        }
        if (var.vt == VT_R4) {
            append_float(out, var.fltVal);
        } else {
            append_scientific(out, value, 16); // 17 significant digits bring a double back
        }
        return;
    }
    case VT_CY: {
        BSTR text = nullptr;
        if (SUCCEEDED(VarBstrFromCy(var.cyVal, 1033, 0, &text))) {
            append_number_bstr(out, text);
        }
        return;
    }
    case VT_DATE:
        date.append_string(out, 6);
        return;
    case VT_BSTR:
        tk_append_utf8(out, bstr_view(var.bstrVal));
        return;
    case VT_BOOL:
        out.push_back(var.boolVal == VARIANT_TRUE ? '1' : '0');
        return;
    case VT_DECIMAL: {
        if (!exact_decimal.empty()) {
            out += exact_decimal;
            return;
        }
        append_decimal(out, var.decVal);
        return;
    }
    case VT_BLOB:
    case vt_byte_array: {
        if (var.parray == nullptr || var.parray->cDims != 1) {
            return;
        }
        const unsigned n = get_safe_array_size(var.parray);
        if (n == 0) {
            return;
        }
        out.reserve(out.size() + 2 + 2 * static_cast<std::size_t>(n));
        out += "0x";
        append_hex(out, array_bytes(var.parray), n);
        return;
    }
    default:
        return;
    }
}

std::string ole_variant::to_string() const {
    OLE_TRACE(1, "ole_variant::to_string (vt=%08X)", var.vt);
    std::string text;
    append_string(text);
    return text;
}

std::wstring ole_variant::to_wstring() const {
    OLE_TRACE(1, "ole_variant::to_wstring (vt=%08X)", var.vt);
    if (var.vt == VT_BSTR) {
        return tk_utf16_to_wstring(bstr_view(var.bstrVal));
    }
    if (is_byte_array_code(var.vt) ||
        !(var.vt == VT_DATE || var.vt == VT_CY || var.vt == VT_DECIMAL || is_numeric(var.vt))) {
        std::string text;
        append_string(text);
        return std::wstring(text.begin(), text.end()); // ASCII: hexadecimal digits
    }
    return tk_utf8_to_wstring(to_string());
}

// ---- From text -----------------------------------------------------------------------------

namespace {

// The hexadecimal rule of byte values, for narrow or wide text.
template <typename Char>
ole_variant bytes_from_hex(const std::basic_string<Char>& text, VARTYPE vt) {
    OLE_TRACE(1, "GOT BLOB");
    ole_variant result;
    if (text.empty()) {
        OLE_TRACE(1, "Empty BLOB");
        return result;
    }
    if (text.size() % 2 != 0) {
        tk_log_message(2, "Incorrect BLOB (size is odd)");
        return result;
    }
    const bool prefix = (text[0] == Char('0') || text[0] == Char('\\')) &&
                        (text[1] == Char('x') || text[1] == Char('X'));
    if (prefix) {
        OLE_TRACE(1, "b_prefix=true");
    }
    const std::size_t count = text.size() / 2 - (prefix ? 1 : 0);
    OLE_TRACE(1, "Got BLOB size: %zu", count);
    if (count > std::numeric_limits<unsigned>::max()) {
        return result;
    }
    result.allocate_safe_array(static_cast<unsigned>(count));
    uint8_t* bytes = static_cast<uint8_t*>(result.var.parray->pvData);
    std::size_t i = prefix ? 2 : 0;
    for (std::size_t k = 0; k < count && i + 1 < text.size(); ++k, i += 2) {
        if (text[i] == 0 || text[i + 1] == 0) {
            break;
        }
        bytes[k] = static_cast<uint8_t>(hex_nibble(text[i]) * 16 + hex_nibble(text[i + 1]));
    }
    result.change_type(vt);
    if (tk_log_wanted(1)) {
        tk_log_message(1, "Before return: res=%s", result.to_string().c_str());
    }
    return result;
}

} // namespace

ole_variant ole_variant::from_string(const std::string& text, VARTYPE vt) {
    OLE_TRACE(1, "ole_variant::from_string('%s', 0x%08X)", text.c_str(), vt);
    ole_variant result;
    if (text.empty() && vt != VT_BSTR) {
        return result;
    }
    switch (vt) {
    case VT_BOOL: {
        bool value = false;
        // The texts providers write for a bit come first; the words read the same either way.
        if (text == "1" || text == "True") {
            value = true;
        } else if (text == "0" || text == "False") {
            value = false;
        } else {
            const int word = boolean_word(text);
            value = word == 1 ? read_leading_integer(text) != 0 : word == -1;
        }
        result.var.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        result.var.vt = VT_BOOL;
        return result;
    }
    case VT_CY: {
        const std::u16string prepared = tk_utf8_to_utf16(commas_to_points(text));
        CY cy{};
        const HRESULT hr = VarCyFromStr(prepared.c_str(), 1033, 0, &cy);
        if (FAILED(hr)) {
            tk_log_message(2, "VarCyFromStr failed: %08X", static_cast<unsigned>(hr));
            return result;
        }
        OLE_TRACE(1, "Construct ole_variant from CY");
        result.var.cyVal = cy;
        result.var.vt = VT_CY;
        return result;
    }
    case VT_DECIMAL: {
        DECIMAL dec{};
        const HRESULT hr = decimal_from_text(text, &dec);
        // Only a text longer than 28 characters can hold more digits than DECIMAL keeps: the
        // common short value that reads well is done here.
        if (SUCCEEDED(hr) && text.size() <= 28) {
            result.var.decVal = dec;
            result.var.vt = VT_DECIMAL;
            return result;
        }
        const std::string prepared = commas_to_points(text);
        // A number with more digits than DECIMAL holds keeps its exact text; it is never
        // rounded or turned into a double.
        std::string exact;
        std::size_t significant = 0;
        const bool plain = prepared.size() > 28 && plain_decimal(prepared, exact, significant);
        bool keep_exact = false;
        if (plain && significant > 28) {
            if (FAILED(hr)) {
                keep_exact = true;
            } else {
                BSTR back = nullptr;
                std::string rounded;
                if (SUCCEEDED(VarBstrFromDec(&dec, 1033, 0, &back))) {
                    append_number_bstr(rounded, back);
                }
                std::string canonical_rounded, canonical_exact;
                std::size_t unused = 0;
                plain_decimal(rounded, canonical_rounded, unused);
                auto strip = [](std::string s) {
                    if (s.find('.') != std::string::npos) {
                        while (s.back() == '0') {
                            s.pop_back();
                        }
                        if (s.back() == '.') {
                            s.pop_back();
                        }
                    }
                    return s == "-0" ? std::string("0") : s;
                };
                keep_exact = strip(canonical_rounded) != strip(exact);
            }
        }
        if (keep_exact) {
            if (FAILED(hr)) {
                dec = DECIMAL{};
            }
            result.var.decVal = dec;
            result.var.vt = VT_DECIMAL;
            result.exact_decimal = exact;
            return result;
        }
        if (FAILED(hr)) {
            tk_log_message(2, "ERROR: VarDecFromStr for '%s' failed (hr=%08X)", text.c_str(),
                           static_cast<unsigned>(hr));
            result.var.dblVal = read_double(prepared);
            result.var.vt = VT_R8;
            return result;
        }
        result.var.decVal = dec;
        result.var.vt = VT_DECIMAL;
        return result;
    }
    case VT_DATE: {
        const ole_date parsed(text);
        if (parsed.is_valid()) {
            result.set_date(parsed);
        }
        return result;
    }
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4: {
        const long long wide = read_leading_integer(text);
        const int32_t value = wide > INT32_MAX
                                  ? INT32_MAX
                                  : (wide < INT32_MIN ? INT32_MIN : static_cast<int32_t>(wide));
        const uint32_t bits = static_cast<uint32_t>(value);
        switch (vt) {
        case VT_I1:
            result.var.cVal = static_cast<char>(bits & 0xFF);
            break;
        case VT_UI1:
            result.var.bVal = static_cast<uint8_t>(bits & 0xFF);
            break;
        case VT_I2:
            result.var.iVal = static_cast<int16_t>(bits & 0xFFFF);
            break;
        case VT_UI2:
            result.var.uiVal = static_cast<uint16_t>(bits & 0xFFFF);
            break;
        default:
            result.var.lVal = value;
            break;
        }
        result.var.vt = vt;
        return result;
    }
    case VT_UI4:
        result.var.ulVal = static_cast<uint32_t>(read_unsigned(text));
        result.var.vt = VT_UI4;
        return result;
    case VT_I8:
        result.hyper = read_leading_integer(text);
        result.var.vt = VT_I8;
        return result;
    case VT_UI8:
        result.uhyper = read_unsigned(text);
        result.var.vt = VT_UI8;
        return result;
    case VT_R4:
        result.var.fltVal = read_float(commas_to_points(text));
        result.var.vt = VT_R4;
        return result;
    case VT_R8:
        result.var.dblVal = read_double(commas_to_points(text));
        result.var.vt = VT_R8;
        return result;
    case VT_BLOB:
    case vt_byte_array:
        result = bytes_from_hex(text, vt);
        return result;
    default:
        break;
    }
    // Every path returns `result` itself, so that it is built in the caller's value: a value
    // of every row, not moved once more.
    result.attach_string(text);
    if (FAILED(VariantChangeType(&result.var, &result.var, 0, vt))) {
        throw ole_type_exception();
    }
    return result;
}

ole_variant ole_variant::from_wstring(const std::wstring& text, VARTYPE vt) {
    OLE_TRACE(1, "ole_variant::from_wstring(0x%08X)", vt);
    if (vt == VT_BLOB || vt == vt_byte_array) {
        return bytes_from_hex(text, vt);
    }
    if (vt == VT_BSTR) {
        OLE_TRACE(1, "Construct ole_variant from BSTR");
        return ole_variant(text);
    }
    return from_string(tk_to_utf8(text), vt);
}

// ---- Change of type ------------------------------------------------------------------------

void ole_variant::change_type(VARTYPE vt) {
    const VARTYPE old = var.vt;
    OLE_TRACE(1, "ole_variant::change_type(old=%d,new=%d)", old, vt);
    cursor_ = text_cursor{};
    auto is_bytes = [](VARTYPE t) {
        return t == VT_BLOB || t == VT_BLOB_OBJECT || t == vt_byte_array;
    };

    // 1. Synonyms of a byte array.
    if ((old == vt_byte_array && (vt == VT_BLOB || vt == VT_DISPATCH)) ||
        (vt == vt_byte_array && (old == VT_BLOB || old == VT_DISPATCH))) {
        OLE_TRACE(1, "Replace by synonym");
        var.vt = vt;
        return;
    }
    // 2. Nothing to do.
    if (old == vt || old < 2 || (is_bytes(old) && is_bytes(vt))) {
        OLE_TRACE(1, "Type cannot be changed");
        return;
    }
    // 3. Text to BOOL by the boolean words only.
    if (old == VT_BSTR && vt == VT_BOOL) {
        const int word = boolean_word(to_string());
        if (word == 1) {
            throw ole_cast_exception();
        }
        clear();
        var.boolVal = word == -1 ? VARIANT_TRUE : VARIANT_FALSE;
        var.vt = VT_BOOL;
        return;
    }
    // 4. From a 64-bit integer.
    if (old == VT_I8 || old == VT_UI8) {
        const bool is_signed = old == VT_I8;
        const uint64_t bits = is_signed ? static_cast<uint64_t>(hyper) : uhyper;
        switch (vt) {
        case VT_I1:
        case VT_UI1:
            var.bVal = static_cast<uint8_t>(bits);
            break;
        case VT_I2:
        case VT_UI2:
            var.uiVal = static_cast<uint16_t>(bits);
            break;
        case VT_BOOL:
            var.boolVal = bits != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            var.ulVal = static_cast<uint32_t>(bits);
            break;
        case VT_R4:
            var.fltVal = is_signed ? static_cast<float>(hyper) : static_cast<float>(uhyper);
            break;
        case VT_R8:
            var.dblVal = is_signed ? static_cast<double>(hyper) : static_cast<double>(uhyper);
            break;
        case VT_CY: {
            // An amount beyond the currency's range is refused rather than wrapped.
            CY cy{};
            if (!is_signed && uhyper > static_cast<uint64_t>(INT64_MAX)) {
                throw ole_cast_exception();
            }
            if (FAILED(VarCyFromI8(static_cast<int64_t>(bits), &cy))) {
                throw ole_cast_exception();
            }
            var.cyVal = cy;
            break;
        }
        case VT_DECIMAL: {
            DECIMAL dec{};
            const HRESULT hr = is_signed ? VarDecFromI8(hyper, &dec) : VarDecFromUI8(uhyper, &dec);
            if (FAILED(hr)) {
                tk_log_message(1, is_signed ? "VT_I8->VT_DECIMAL" : "VT_UI8->VT_DECIMAL");
                throw ole_cast_exception();
            }
            var.decVal = dec;
            break;
        }
        case VT_I8:
            hyper = static_cast<int64_t>(uhyper);
            break;
        case VT_UI8:
            uhyper = static_cast<uint64_t>(hyper);
            break;
        case VT_BSTR: {
            std::string digits;
            if (is_signed) {
                append_integer(digits, hyper);
            } else {
                append_integer(digits, uhyper);
            }
            var.bstrVal = make_bstr(std::u16string(digits.begin(), digits.end()));
            break;
        }
        default:
            throw ole_cast_exception();
        }
        var.vt = vt;
        return;
    }
    // 5. From a date: only its text.
    if (old == VT_DATE) {
        if (vt != VT_BSTR) {
            throw ole_cast_exception();
        }
        const std::wstring text = date.to_wstring(6);
        attach_u16string(std::u16string(text.begin(), text.end()));
        return;
    }
    // 6. To a 64-bit integer.
    if (vt == VT_I8 || vt == VT_UI8) {
        const bool to_signed = vt == VT_I8;
        int64_t value = 0;
        switch (old) {
        case VT_I1:
            value = static_cast<signed char>(var.cVal);
            break;
        case VT_I2:
            value = var.iVal;
            break;
        case VT_BOOL:
            value = var.boolVal;
            break;
        case VT_I4:
        case VT_INT:
            value = var.lVal;
            break;
        case VT_UI1:
            value = var.bVal;
            break;
        case VT_UI2:
            value = var.uiVal;
            break;
        case VT_UI4:
        case VT_UINT:
            value = var.ulVal;
            break;
        case VT_R4:
        case VT_R8: {
            HRESULT hr = S_OK;
            if (to_signed) {
                int64_t result = hyper;
                hr = old == VT_R4 ? VarI8FromR4(var.fltVal, &result)
                                  : VarI8FromR8(var.dblVal, &result);
                OLE_TRACE(1,
                          old == VT_R4 ? "from FLOAT: res=%lld, hr=%08X"
                                       : "from DOUBLE: res=%lld, hr=%08X",
                          static_cast<long long>(result), static_cast<unsigned>(hr));
                hyper = result;
            } else {
                uint64_t result = uhyper;
                hr = old == VT_R4 ? VarUI8FromR4(var.fltVal, &result)
                                  : VarUI8FromR8(var.dblVal, &result);
                OLE_TRACE(1,
                          old == VT_R4 ? "from FLOAT: res=%llu, hr=%08X"
                                       : "from DOUBLE: res=%llu, hr=%08X",
                          static_cast<unsigned long long>(result), static_cast<unsigned>(hr));
                uhyper = result;
            }
            // Out of range or NaN: refused like every other failed conversion here, rather
            // than leaving whatever the slot held as the value.
            if (FAILED(hr)) {
                throw ole_cast_exception();
            }
            var.vt = vt;
            return;
        }
        case VT_I8:
            uhyper = static_cast<uint64_t>(hyper);
            var.vt = vt;
            return;
        case VT_UI8:
            hyper = static_cast<int64_t>(uhyper);
            var.vt = vt;
            return;
        case VT_CY:
            if (to_signed) {
                hyper = to_i8();
            } else {
                uhyper = to_ui8();
            }
            var.vt = vt;
            return;
        case VT_DECIMAL: {
            if (!exact_decimal.empty()) {
                tk_log_message(1, to_signed ? "VT_DECIMAL->VT_I8" : "VT_DECIMAL->VT_UI8");
                throw ole_cast_exception();
            }
            HRESULT hr = S_OK;
            int64_t s = 0;
            uint64_t u = 0;
            hr = to_signed ? VarI8FromDec(&var.decVal, &s) : VarUI8FromDec(&var.decVal, &u);
            if (FAILED(hr)) {
                tk_log_message(1, to_signed ? "VT_DECIMAL->VT_I8" : "VT_DECIMAL->VT_UI8");
                throw ole_cast_exception();
            }
            hyper = to_signed ? s : hyper;
            uhyper = to_signed ? uhyper : u;
            var.vt = vt;
            return;
        }
        default:
            throw ole_cast_exception();
        }
        if (to_signed) {
            hyper = value;
        } else {
            uhyper = static_cast<uint64_t>(value);
        }
        var.vt = vt;
        return;
    }
    // 7. To a 32-bit or 16-bit integer.
    if (vt == VT_I4 || vt == VT_UI4 || vt == VT_I2 || vt == VT_UI2) {
        if (old == VT_R4 || old == VT_R8) {
            const double x = old == VT_R4 ? static_cast<double>(var.fltVal) : var.dblVal;
            const double rounded = half_away(x);
            // Beyond the 32-bit range the conversion would be undefined: refused.
            if (std::isnan(rounded) || rounded <= -2147483649.0 || rounded >= 2147483648.0) {
                throw ole_cast_exception();
            }
            const int32_t value = static_cast<int32_t>(rounded);
            if (vt == VT_I2 || vt == VT_UI2) {
                var.uiVal = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFF);
            } else {
                var.lVal = value;
            }
            var.vt = vt;
            return;
        }
        if (old == VT_DECIMAL) {
            HRESULT hr = exact_decimal.empty() ? S_OK : DISP_E_OVERFLOW;
            DECIMAL dec = var.decVal;
            VARIANT next;
            VariantInit(&next);
            if (SUCCEEDED(hr)) {
                switch (vt) {
                case VT_I4:
                    hr = VarI4FromDec(&dec, &next.lVal);
                    break;
                case VT_UI4:
                    hr = VarUI4FromDec(&dec, &next.ulVal);
                    break;
                case VT_I2:
                    hr = VarI2FromDec(&dec, &next.iVal);
                    break;
                default:
                    hr = VarUI2FromDec(&dec, &next.uiVal);
                    break;
                }
            }
            if (FAILED(hr)) {
                tk_log_message(1, "VT_DECIMAL->VT_I4");
                if (vt == VT_I4 && tk_log_wanted(1)) {
                    tk_log_message(1, "to_string()=%s", to_string().c_str());
                }
                throw ole_cast_exception();
            }
            exact_decimal.clear();
            next.vt = vt;
            var = next;
            return;
        }
        return; // left as it is
    }
    // 8. To an 8-bit signed integer.
    if (vt == VT_I1) {
        if (old != VT_DECIMAL) {
            return; // left as it is
        }
        char value = 0;
        if (!exact_decimal.empty() || FAILED(VarI1FromDec(&var.decVal, &value))) {
            throw ole_cast_exception();
        }
        clear();
        var.cVal = value;
        var.vt = VT_I1;
        return;
    }
    // 9. To a date: only from its text.
    if (vt == VT_DATE) {
        if (old != VT_BSTR) {
            throw ole_cast_exception();
        }
        const ole_date parsed(to_string());
        if (!parsed.is_valid()) {
            throw ole_cast_exception();
        }
        set_date(parsed);
        return;
    }
    // 10. From bytes: only to text, the bytes read as UTF-8.
    if (is_bytes(old)) {
        OLE_TRACE(1, "src.vt is binary, a_type=%d", vt);
        if (vt != VT_BSTR || var.parray == nullptr || var.parray->cDims != 1) {
            return;
        }
        const unsigned n = get_safe_array_size(var.parray);
        const std::string_view bytes(reinterpret_cast<const char*>(array_bytes(var.parray)), n);
        attach_u16string(tk_utf8_to_utf16(bytes));
        return;
    }
    // 11. To bytes: the value's own bytes.
    if (is_bytes(vt)) {
        OLE_TRACE(1, "a_type is binary, src.vt=%d", old);
        std::vector<uint8_t> bytes;
        auto take = [&](const void* data, std::size_t size) {
            const auto* p = static_cast<const uint8_t*>(data);
            bytes.assign(p, p + size);
        };
        switch (old) {
        case VT_I2:
        case VT_BOOL:
        case VT_UI2:
            take(&var.iVal, 2);
            break;
        case VT_I4:
        case VT_R4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            take(&var.lVal, 4);
            break;
        case VT_R8:
        case VT_CY:
            take(&var.dblVal, 8);
            break;
        case VT_I1:
        case VT_UI1:
            take(&var.bVal, 1);
            break;
        case VT_DECIMAL:
            if (!exact_decimal.empty()) {
                throw ole_cast_exception();
            }
            take(&var.decVal, sizeof(DECIMAL));
            break;
        case VT_BSTR: {
            OLE_TRACE(1, "VT_BSTR->binary");
            const std::string text = to_string();
            OLE_TRACE(1, "char_buf=%s", text.c_str());
            take(text.data(), text.size());
            break;
        }
        default:
            throw ole_cast_exception();
        }
        if (bytes.empty()) {
            return;
        }
        clear();
        attach_binary(bytes);
        return;
    }
    // 12. Everything else: the platform's conversion.
    if (old == VT_DECIMAL && !exact_decimal.empty()) {
        // A number too wide for DECIMAL converts exactly to text and to floating point only.
        if (vt == VT_BSTR) {
            const std::string text = exact_decimal;
            attach_u16string(std::u16string(text.begin(), text.end()));
            return;
        }
        if (vt == VT_R8 || vt == VT_R4) {
            const std::string text = exact_decimal;
            clear();
            if (vt == VT_R8) {
                var.dblVal = read_double(text);
            } else {
                var.fltVal = read_float(text);
            }
            var.vt = vt;
            return;
        }
        throw ole_cast_exception();
    }
    if (FAILED(VariantChangeType(&var, &var, 0, vt))) {
        tk_log_message(1, "VariantChangeType failed");
        if (tk_log_wanted(1)) {
            tk_log_message(1, "to_string()=%s", to_string().c_str());
        }
        throw ole_cast_exception();
    }
    exact_decimal.clear();
}

// ---- Getters -------------------------------------------------------------------------------

bool ole_variant::to_bool() const {
    switch (var.vt) {
    case VT_I2:
    case VT_UI2:
        return var.iVal != 0;
    case VT_I4:
    case VT_UI4:
        return var.lVal != 0;
    case VT_R4:
        return var.fltVal != 0; // NaN is true
    case VT_R8:
        return var.dblVal != 0;
    case VT_CY:
    case VT_DECIMAL:
        return to_long() != 0;
    case VT_BOOL:
        return var.boolVal == VARIANT_TRUE;
    case VT_I1:
    case VT_UI1:
        return var.bVal != 0;
    case VT_I8:
        return hyper != 0;
    case VT_UI8:
        return uhyper != 0;
    default:
        return false;
    }
}

int32_t ole_variant::to_long() const {
    switch (var.vt) {
    case VT_I2:
        return var.iVal;
    case VT_I4:
    case VT_UI4:
        return var.lVal;
    case VT_R4:
        return saturate<int32_t>(var.fltVal);
    case VT_R8:
        return saturate<int32_t>(var.dblVal);
    case VT_CY: {
        int32_t value = 0;
        VarI4FromCy(var.cyVal, &value);
        return value;
    }
    case VT_BOOL:
        return var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_DECIMAL: {
        int32_t value = 0;
        if (exact_decimal.empty()) {
            VarI4FromDec(&var.decVal, &value);
        }
        return value;
    }
    case VT_I1:
        return static_cast<signed char>(var.cVal);
    case VT_UI1:
        return var.bVal;
    case VT_UI2:
        return var.uiVal;
    case VT_I8:
        return static_cast<int32_t>(static_cast<uint32_t>(hyper));
    case VT_UI8:
        return static_cast<int32_t>(static_cast<uint32_t>(uhyper));
    default:
        return 0;
    }
}

int64_t ole_variant::to_i8() const {
    switch (var.vt) {
    case VT_I2:
        return var.iVal;
    case VT_I4:
        return var.lVal;
    case VT_R4:
        return saturate<int64_t>(half_away(var.fltVal));
    case VT_R8:
        return saturate<int64_t>(half_away(var.dblVal));
    case VT_CY: {
        int64_t value = 0;
        VarI8FromCy(var.cyVal, &value);
        return value;
    }
    case VT_BOOL:
        return var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_DECIMAL: {
        int64_t value = 0;
        if (exact_decimal.empty()) {
            VarI8FromDec(&var.decVal, &value);
        }
        return value;
    }
    case VT_I1:
        return static_cast<signed char>(var.cVal);
    case VT_UI1:
        return var.bVal;
    case VT_UI2:
        return var.uiVal;
    case VT_UI4:
        return var.ulVal;
    case VT_I8:
        return hyper;
    case VT_UI8:
        return static_cast<int64_t>(uhyper);
    default:
        return 0;
    }
}

uint64_t ole_variant::to_ui8() const {
    uint64_t value = 0;
    switch (var.vt) {
    case VT_I2:
        return static_cast<uint64_t>(static_cast<int64_t>(var.iVal));
    case VT_I4:
        return static_cast<uint64_t>(static_cast<int64_t>(var.lVal));
    case VT_R4:
        VarUI8FromR4(var.fltVal, &value);
        return value;
    case VT_R8:
        VarUI8FromR8(var.dblVal, &value);
        return value;
    case VT_CY:
        VarUI8FromCy(var.cyVal, &value);
        return value;
    case VT_BOOL:
        return var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_DECIMAL:
        if (exact_decimal.empty()) {
            VarUI8FromDec(&var.decVal, &value);
        }
        return value;
    case VT_I1:
        return static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(var.cVal)));
    case VT_UI1:
        return var.bVal;
    case VT_UI2:
        return var.uiVal;
    case VT_UI4:
        return var.ulVal;
    case VT_I8:
        return static_cast<uint64_t>(hyper);
    case VT_UI8:
        return uhyper;
    default:
        return 0;
    }
}

double ole_variant::to_double() const {
    switch (var.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return 0;
    case VT_I2:
        return var.iVal;
    case VT_I4:
        return var.lVal;
    case VT_R4:
        return var.fltVal;
    case VT_R8:
        return var.dblVal;
    case VT_CY: {
        double value = 0;
        VarR8FromCy(var.cyVal, &value);
        return value;
    }
    case VT_BOOL:
        return var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_DECIMAL: {
        if (!exact_decimal.empty()) {
            return read_double(exact_decimal);
        }
        double value = 0;
        VarR8FromDec(&var.decVal, &value);
        return value;
    }
    case VT_I1:
        return static_cast<signed char>(var.cVal);
    case VT_UI1:
        return var.bVal;
    case VT_UI2:
        return var.uiVal;
    case VT_UI4:
        return var.ulVal;
    case VT_I8:
        return static_cast<double>(hyper);
    case VT_UI8:
        return static_cast<double>(uhyper);
    default:
        throw tk_mail_assertion("ole_var", 940);
    }
}

float ole_variant::to_float() const {
    switch (var.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return 0;
    case VT_I2:
        return var.iVal;
    case VT_I4:
        return static_cast<float>(var.lVal);
    case VT_R4:
        return var.fltVal;
    case VT_R8:
        return static_cast<float>(var.dblVal);
    case VT_CY: {
        float value = 0;
        VarR4FromCy(var.cyVal, &value);
        return value;
    }
    case VT_BOOL:
        return var.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_DECIMAL: {
        if (!exact_decimal.empty()) {
            return read_float(exact_decimal);
        }
        float value = 0;
        VarR4FromDec(&var.decVal, &value);
        return value;
    }
    case VT_I1:
        return static_cast<signed char>(var.cVal);
    case VT_UI1:
        return var.bVal;
    case VT_UI2:
        return var.uiVal;
    case VT_UI4:
        return static_cast<float>(var.ulVal);
    case VT_I8:
        return static_cast<float>(hyper);
    case VT_UI8:
        return static_cast<float>(uhyper);
    default:
        throw tk_mail_assertion("ole_var", 800);
    }
}

void ole_variant::to_decimal(DECIMAL* out) const {
    if (out == nullptr) {
        throw tk_mail_assertion("ole_var", 808);
    }
    HRESULT hr = S_OK;
    DECIMAL value{};
    switch (var.vt) {
    case VT_I2:
        hr = VarDecFromI2(var.iVal, &value);
        break;
    case VT_I4:
        hr = VarDecFromI4(var.lVal, &value);
        break;
    case VT_R4:
        hr = VarDecFromR4(var.fltVal, &value);
        break;
    case VT_R8:
        hr = VarDecFromR8(var.dblVal, &value);
        break;
    case VT_DECIMAL:
        if (!exact_decimal.empty()) {
            throw ole_cast_exception();
        }
        value = var.decVal;
        break;
    case VT_UI2:
        hr = VarDecFromUI2(var.uiVal, &value);
        break;
    case VT_UI4:
        hr = VarDecFromUI4(var.ulVal, &value);
        break;
    case VT_I8:
        hr = VarDecFromI8(hyper, &value);
        break;
    case VT_UI8:
        hr = VarDecFromUI8(uhyper, &value);
        break;
    default:
        throw ole_cast_exception();
    }
    if (FAILED(hr)) {
        throw ole_cast_exception();
    }
    *out = value;
}
