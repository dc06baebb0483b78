// Exact decimal arithmetic for DECIMAL and CY, and the text of numbers, en-US.
#include "platform/oleaut/oleaut_internal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace oleaut {

u128 pow10(int n) {
    u128 value = 1;
    for (int i = 0; i < n; ++i) {
        value *= 10;
    }
    return value;
}

namespace {

bool is_blank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0x00A0;
}

bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

} // namespace

bool parse_number(std::u16string_view text, parsed_number& out) {
    // The digits are written in place into out.digits (at most one per character) and cut to
    // size at the end, rather than appended one by one; a failure leaves them empty.
    out.negative = false;
    out.exponent = 0;
    std::string& digits = out.digits;
    digits.clear();
    std::size_t i = 0;
    std::size_t end = text.size();
    while (i < end && is_blank(text[i])) {
        ++i;
    }
    while (end > i && (is_blank(text[end - 1]) || text[end - 1] == 0)) {
        --end;
    }
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        out.negative = text[i] == u'-';
        ++i;
    }
    bool any_digit = false;
    bool seen_point = false;
    int fraction_digits = 0;
    digits.resize(end - i);
    char* const first = digits.data();
    char* next = first;
    for (; i < end; ++i) {
        const char16_t c = text[i];
        if (is_digit(c)) {
            any_digit = true;
            if (!(next == first && c == u'0')) {
                *next++ = static_cast<char>(c);
            }
            if (seen_point) {
                ++fraction_digits;
            }
            continue;
        }
        // A thousands separator only between digits of the integer part.
        if (c == u',' && !seen_point && any_digit && i + 1 < end && is_digit(text[i + 1])) {
            continue;
        }
        if (c == u'.' && !seen_point) {
            seen_point = true;
            continue;
        }
        break;
    }
    digits.resize(static_cast<std::size_t>(next - first));
    if (!any_digit) {
        digits.clear();
        return false;
    }
    long exponent = 0;
    if (i < end && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool negative_exponent = false;
        if (i < end && (text[i] == u'+' || text[i] == u'-')) {
            negative_exponent = text[i] == u'-';
            ++i;
        }
        if (i >= end || !is_digit(text[i])) {
            digits.clear();
            return false;
        }
        for (; i < end && is_digit(text[i]); ++i) {
            if (exponent < 100000) {
                exponent = exponent * 10 + (text[i] - u'0');
            }
        }
        if (negative_exponent) {
            exponent = -exponent;
        }
    }
    if (i != end) {
        digits.clear();
        return false;
    }
    // Trailing zeros of the digits move into the exponent only when they are integer digits;
    // fraction zeros stay so that the scale of "1.50" is kept.
    out.exponent = static_cast<int>(exponent) - fraction_digits;
    if (digits.empty()) {
        out.exponent = std::min(out.exponent, 0);
    }
    return true;
}

bool round_to_scale(const parsed_number& number, int scale, u128 limit, u128& magnitude) {
    magnitude = 0;
    const std::string& d = number.digits;
    const long n = static_cast<long>(d.size());
    // Position of the decimal point in the digits: digits before it.
    const long integer_digits = n + number.exponent;
    // Digits kept: those down to 10^-scale.
    const long keep = integer_digits + scale;
    if (keep > 38) {
        return false;
    }
    u128 value = 0;
    for (long k = 0; k < keep; ++k) {
        value = value * 10 + (k < n ? static_cast<unsigned>(d[k] - '0') : 0u);
    }
    // Rounding half to even on the first dropped digit and the rest. When keep is negative
    // the whole number lies below half a unit of the last kept place.
    if (keep < n) {
        int dropped = 0;
        bool rest = true;
        if (keep >= 0) {
            dropped = d[keep] - '0';
            rest = false;
            for (long k = keep + 1; k < n; ++k) {
                if (d[k] != '0') {
                    rest = true;
                    break;
                }
            }
        }
        if (dropped > 5 || (dropped == 5 && (rest || (value & 1) != 0))) {
            value += 1;
        }
    }
    if (value >= limit) {
        return false;
    }
    magnitude = value;
    return true;
}

HRESULT decimal_from_number(const parsed_number& number, DECIMAL* out) {
    const long n = static_cast<long>(number.digits.size());
    if (n == 0) {
        exact_decimal zero;
        zero.negative = number.negative;
        zero.scale = std::min(std::max(-number.exponent, 0), static_cast<int>(DECIMAL_MAX_SCALE));
        decimal_pack(zero, out);
        return S_OK;
    }
    const long integer_digits = n + number.exponent;
    if (integer_digits > 29) {
        return DISP_E_OVERFLOW;
    }
    // The most fraction digits that the text has, at most 28, then fewer until it fits.
    int scale = static_cast<int>(std::max(0L, std::min(-static_cast<long>(number.exponent), 28L)));
    for (; scale >= 0; --scale) {
        if (integer_digits + scale > 29) {
            continue;
        }
        u128 magnitude = 0;
        if (round_to_scale(number, scale, decimal_limit, magnitude)) {
            exact_decimal value{number.negative, magnitude, scale};
            decimal_pack(value, out);
            return S_OK;
        }
    }
    return DISP_E_OVERFLOW;
}

bool decimal_unpack(const DECIMAL& in, exact_decimal& out) {
    if (in.scale > DECIMAL_MAX_SCALE || (in.sign & ~DECIMAL_NEG) != 0) {
        return false;
    }
    out.negative = (in.sign & DECIMAL_NEG) != 0;
    out.magnitude = (static_cast<u128>(in.Hi32) << 64) | in.Lo64;
    out.scale = in.scale;
    return true;
}

void decimal_pack(const exact_decimal& in, DECIMAL* out) {
    const uint16_t reserved = out->wReserved;
    std::memset(out, 0, sizeof *out);
    out->wReserved = reserved;
    out->scale = static_cast<uint8_t>(in.scale);
    out->sign = in.negative ? DECIMAL_NEG : 0;
    out->Hi32 = static_cast<uint32_t>(in.magnitude >> 64);
    out->Lo64 = static_cast<uint64_t>(in.magnitude);
}

u128 round_to_integer(const exact_decimal& value) {
    if (value.scale == 0) {
        return value.magnitude;
    }
    const u128 divisor = pow10(value.scale);
    u128 quotient = value.magnitude / divisor;
    const u128 remainder = value.magnitude % divisor;
    const u128 twice = remainder * 2;
    if (twice > divisor || (twice == divisor && (quotient & 1) != 0)) {
        ++quotient;
    }
    return quotient;
}

namespace {

// Writes the digits of `value` to end at `end` and returns where they start. The 128-bit value
// is cut into 19-digit chunks so that each digit costs a 64-bit division, not a 128-bit one.
char* write_digits(u128 value, char* end) {
    constexpr uint64_t chunk = 10000000000000000000ULL; // 10^19
    while (value > UINT64_MAX) {
        uint64_t low = static_cast<uint64_t>(value % chunk);
        value /= chunk;
        for (int i = 0; i < 19; ++i) {
            *--end = static_cast<char>('0' + low % 10);
            low /= 10;
        }
    }
    uint64_t rest = static_cast<uint64_t>(value);
    do {
        *--end = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    return end;
}

} // namespace

std::string u128_to_string(u128 value) {
    char buffer[48];
    char* const end = buffer + sizeof buffer;
    char* first = write_digits(value, end);
    return std::string(first, end);
}

std::string decimal_to_string(const exact_decimal& value) {
    // Sign, up to 39 digits, a point and the zeros before a fraction's first digit: 80 is ample.
    char buffer[80];
    char* const end = buffer + sizeof buffer;
    char* first = write_digits(value.magnitude, end);
    if (value.scale > 0) {
        const std::size_t scale = static_cast<std::size_t>(value.scale);
        while (static_cast<std::size_t>(end - first) <= scale) {
            *--first = '0';
        }
        // The point goes before the last `scale` digits: move the integer digits left by one.
        char* point = end - scale;
        std::memmove(first - 1, first, static_cast<std::size_t>(point - first));
        --first;
        point[-1] = '.';
    }
    if (value.negative && value.magnitude != 0) {
        *--first = '-';
    }
    return std::string(first, end);
}

double decimal_to_double(const exact_decimal& value) {
    // strtod rounds correctly; the text is at most 31 characters.
    const std::string text = decimal_to_string(value);
    double result = std::strtod(text.c_str(), nullptr);
    if (value.negative && value.magnitude == 0) {
        result = -0.0;
    }
    return result;
}

std::string double_to_text(double value, int significant) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-1.#INF" : "1.#INF";
    }
    if (value == 0) {
        return "0";
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*E", significant - 1, value);
    // buffer: [-]d.dddddE[+-]xx; decide between plain and exponent notation as %G does.
    char* e = std::strchr(buffer, 'E');
    const int exponent = std::atoi(e + 1);
    std::string mantissa(buffer, e);
    const bool negative = mantissa[0] == '-';
    std::string digits;
    for (char c : mantissa) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    std::string result = negative ? "-" : "";
    if (exponent < -4 || exponent >= significant) {
        result += digits[0];
        if (digits.size() > 1) {
            result += '.';
            result.append(digits, 1, std::string::npos);
        }
        char exp_text[16];
        std::snprintf(exp_text, sizeof exp_text, "E%c%02d", exponent < 0 ? '-' : '+',
                      exponent < 0 ? -exponent : exponent);
        result += exp_text;
        return result;
    }
    if (exponent < 0) {
        result += "0.";
        result.append(static_cast<std::size_t>(-exponent - 1), '0');
        result += digits;
        return result;
    }
    const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        result += digits;
        result.append(integer_digits - digits.size(), '0');
        return result;
    }
    result.append(digits, 0, integer_digits);
    result += '.';
    result.append(digits, integer_digits, std::string::npos);
    return result;
}

std::u16string ascii_to_u16(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

BSTR bstr_from_ascii(std::string_view text) {
    BSTR result = SysAllocStringLen(nullptr, static_cast<unsigned int>(text.size()));
    if (result == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        result[i] = static_cast<unsigned char>(text[i]);
    }
    return result;
}

// Civil calendar (proleptic Gregorian) from and to a day count since 1970-01-01.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
}

unsigned days_in_month(int64_t year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

} // namespace oleaut
