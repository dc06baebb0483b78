// Shared helpers of the OLE Automation stand-in: exact decimal numbers, number text, dates.
#pragma once

#include "platform/oleaut/oleaut.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace oleaut {

using u128 = unsigned __int128;
using i128 = __int128;

inline constexpr u128 decimal_limit = static_cast<u128>(1) << 96; // magnitudes stay below

// 10^n for n in 0..38.
u128 pow10(int n);

// A number read from text: sign, significant digits without leading zeros, and the power of
// ten of the last digit (value = digits * 10^exponent).
struct parsed_number {
    bool negative = false;
    std::string digits; // "" for zero
    int exponent = 0;
};

// Reads an en-US number: blanks around it, a leading sign, digits with "," as a thousands
// separator, "." as the decimal point, an exponent ("e" or "E", optional sign, digits).
// False for anything else.
bool parse_number(std::u16string_view text, parsed_number& out);

// The number rounded half to even to `scale` fraction digits, as an exact magnitude; false when
// the magnitude reaches `limit`.
bool round_to_scale(const parsed_number& number, int scale, u128 limit, u128& magnitude);

// The number as a DECIMAL: the most fraction digits (up to 28) that fit, rounded half to even.
HRESULT decimal_from_number(const parsed_number& number, DECIMAL* out);

// An exact decimal value with its scale.
struct exact_decimal {
    bool negative = false;
    u128 magnitude = 0;
    int scale = 0;
};
bool decimal_unpack(const DECIMAL& in, exact_decimal& out); // false: scale over 28 or bad bits
void decimal_pack(const exact_decimal& in, DECIMAL* out);   // magnitude below 2^96

// Rounds value / 10^scale half to even to an integer magnitude.
u128 round_to_integer(const exact_decimal& value);

// Text forms.
std::string u128_to_string(u128 value);
std::string decimal_to_string(const exact_decimal& value); // keeps the scale's digits
double decimal_to_double(const exact_decimal& value);      // correctly rounded
std::string double_to_text(double value, int significant); // OLE style, "E+nn" when large
BSTR bstr_from_ascii(std::string_view text);
std::u16string ascii_to_u16(std::string_view text);

// Days and seconds.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);
void civil_from_days(int64_t days, int64_t& year, unsigned& month, unsigned& day);
unsigned days_in_month(int64_t year, unsigned month);

} // namespace oleaut
