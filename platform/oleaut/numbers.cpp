// Conversions between numbers, currency, DECIMAL and text (en-US).
#include "platform/oleaut/oleaut_internal.h"

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

using namespace oleaut;

namespace {

constexpr int64_t cy_scale = 10000;

// The number as a correctly rounded double.
double number_to_double(const parsed_number& number) {
    if (number.digits.empty()) {
        return number.negative ? -0.0 : 0.0;
    }
    std::string text = number.negative ? "-" : "";
    text += number.digits;
    text += 'e';
    text += std::to_string(number.exponent);
    return std::strtod(text.c_str(), nullptr);
}

HRESULT parse(LPCOLESTR text, parsed_number& number) {
    if (text == nullptr) {
        return E_INVALIDARG;
    }
    return parse_number(std::u16string_view(text), number) ? S_OK : DISP_E_TYPEMISMATCH;
}

// A signed integer from a magnitude and sign, within [low, high].
template <typename T> HRESULT integer_from(bool negative, u128 magnitude, T* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    const i128 low = std::numeric_limits<T>::min();
    const i128 high = std::numeric_limits<T>::max();
    if (magnitude > (static_cast<u128>(1) << 100)) {
        return DISP_E_OVERFLOW;
    }
    const i128 value = negative ? -static_cast<i128>(magnitude) : static_cast<i128>(magnitude);
    if (value < low || value > high) {
        return DISP_E_OVERFLOW;
    }
    *out = static_cast<T>(value);
    return S_OK;
}

template <typename T> HRESULT integer_from_decimal(const DECIMAL* in, T* out) {
    exact_decimal value;
    if (in == nullptr || !decimal_unpack(*in, value)) {
        return E_INVALIDARG;
    }
    return integer_from(value.negative, round_to_integer(value), out);
}

// Rounds half to even and checks the range of T.
template <typename T> HRESULT integer_from_double(double in, T* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    if (std::isnan(in)) {
        return DISP_E_OVERFLOW;
    }
    const int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(in);
    std::fesetround(previous);
    // The limits as doubles: min is a power of two, max + 1 is too.
    const double low = static_cast<double>(std::numeric_limits<T>::min());
    const double high_exclusive = std::ldexp(1.0, std::numeric_limits<T>::digits);
    if (rounded < low || rounded >= high_exclusive) {
        return DISP_E_OVERFLOW;
    }
    *out = static_cast<T>(rounded);
    return S_OK;
}

HRESULT decimal_from_integer(bool negative, u128 magnitude, DECIMAL* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    decimal_pack(exact_decimal{negative, magnitude, 0}, out);
    return S_OK;
}

// DECIMAL from a floating-point value through its text of `significant` digits.
HRESULT decimal_from_double(double in, int significant, DECIMAL* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    if (!std::isfinite(in)) {
        return DISP_E_OVERFLOW;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*e", significant - 1, in);
    parsed_number number;
    parse_number(ascii_to_u16(buffer), number);
    // Trailing zeros of the significant digits say nothing about the value.
    while (!number.digits.empty() && number.digits.back() == '0') {
        number.digits.pop_back();
        ++number.exponent;
    }
    if (number.exponent > 0) {
        number.digits.append(static_cast<std::size_t>(number.exponent), '0');
        number.exponent = 0;
    }
    return decimal_from_number(number, out);
}

HRESULT bstr_out(const std::string& text, BSTR* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    *out = bstr_from_ascii(text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::string cy_to_string(int64_t value) {
    const bool negative = value < 0;
    const u128 magnitude =
        negative ? static_cast<u128>(-(static_cast<i128>(value))) : static_cast<u128>(value);
    std::string text = decimal_to_string(exact_decimal{negative, magnitude, 4});
    // Currency text drops the zeros at the end of its fraction.
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') {
            text.pop_back();
        }
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    return text;
}

HRESULT cy_from_number(const parsed_number& number, CY* out) {
    u128 magnitude = 0;
    const u128 limit =
        number.negative ? (static_cast<u128>(1) << 63) + 1 : static_cast<u128>(1) << 63;
    if (!round_to_scale(number, 4, limit, magnitude)) {
        return DISP_E_OVERFLOW;
    }
    out->int64 = number.negative ? static_cast<int64_t>(-static_cast<i128>(magnitude))
                                 : static_cast<int64_t>(magnitude);
    return S_OK;
}

} // namespace

HRESULT VarCyFromStr(LPCOLESTR text, LCID, uint32_t, CY* out) {
    parsed_number number;
    HRESULT hr = parse(text, number);
    if (FAILED(hr)) {
        return hr;
    }
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    return cy_from_number(number, out);
}

HRESULT VarDecFromStr(LPCOLESTR text, LCID, uint32_t, DECIMAL* out) {
    parsed_number number;
    HRESULT hr = parse(text, number);
    if (FAILED(hr)) {
        return hr;
    }
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    return decimal_from_number(number, out);
}

HRESULT VarR8FromStr(LPCOLESTR text, LCID, uint32_t, double* out) {
    parsed_number number;
    HRESULT hr = parse(text, number);
    if (FAILED(hr)) {
        return hr;
    }
    const double value = number_to_double(number);
    if (std::isinf(value)) {
        return DISP_E_OVERFLOW;
    }
    *out = value;
    return S_OK;
}

HRESULT VarR4FromStr(LPCOLESTR text, LCID lcid, uint32_t flags, float* out) {
    double value = 0;
    HRESULT hr = VarR8FromStr(text, lcid, flags, &value);
    if (FAILED(hr)) {
        return hr;
    }
    if (std::fabs(value) > FLT_MAX) {
        return DISP_E_OVERFLOW;
    }
    *out = static_cast<float>(value);
    return S_OK;
}

HRESULT VarI4FromStr(LPCOLESTR text, LCID, uint32_t, int32_t* out) {
    parsed_number number;
    HRESULT hr = parse(text, number);
    if (FAILED(hr)) {
        return hr;
    }
    u128 magnitude = 0;
    if (!round_to_scale(number, 0, static_cast<u128>(1) << 64, magnitude)) {
        return DISP_E_OVERFLOW;
    }
    return integer_from(number.negative, magnitude, out);
}

HRESULT VarI8FromStr(LPCOLESTR text, LCID, uint32_t, int64_t* out) {
    parsed_number number;
    HRESULT hr = parse(text, number);
    if (FAILED(hr)) {
        return hr;
    }
    u128 magnitude = 0;
    if (!round_to_scale(number, 0, static_cast<u128>(1) << 64, magnitude)) {
        return DISP_E_OVERFLOW;
    }
    return integer_from(number.negative, magnitude, out);
}

HRESULT VarBoolFromStr(LPCOLESTR text, LCID lcid, uint32_t flags, VARIANT_BOOL* out) {
    if (text == nullptr || out == nullptr) {
        return E_INVALIDARG;
    }
    std::u16string_view view(text);
    while (!view.empty() && view.front() == u' ') {
        view.remove_prefix(1);
    }
    while (!view.empty() && view.back() == u' ') {
        view.remove_suffix(1);
    }
    auto equals_word = [&](std::u16string_view word) {
        if (view.size() != word.size()) {
            return false;
        }
        for (std::size_t i = 0; i < word.size(); ++i) {
            char16_t c = view[i];
            if (c >= u'A' && c <= u'Z') {
                c = static_cast<char16_t>(c - u'A' + u'a');
            }
            if (c != word[i]) {
                return false;
            }
        }
        return true;
    };
    if (equals_word(u"true") || equals_word(u"#true#")) {
        *out = VARIANT_TRUE;
        return S_OK;
    }
    if (equals_word(u"false") || equals_word(u"#false#")) {
        *out = VARIANT_FALSE;
        return S_OK;
    }
    double value = 0;
    HRESULT hr = VarR8FromStr(text, lcid, flags, &value);
    if (FAILED(hr)) {
        return hr;
    }
    *out = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT VarBstrFromDec(const DECIMAL* in, LCID, uint32_t, BSTR* out) {
    exact_decimal value;
    if (in == nullptr || !decimal_unpack(*in, value)) {
        return E_INVALIDARG;
    }
    return bstr_out(decimal_to_string(value), out);
}

HRESULT VarBstrFromCy(CY in, LCID, uint32_t, BSTR* out) {
    return bstr_out(cy_to_string(in.int64), out);
}

HRESULT VarBstrFromR8(double in, LCID, uint32_t, BSTR* out) {
    return bstr_out(double_to_text(in, 15), out);
}

HRESULT VarBstrFromR4(float in, LCID, uint32_t, BSTR* out) {
    return bstr_out(double_to_text(in, 7), out);
}

HRESULT VarBstrFromI8(int64_t in, LCID, uint32_t, BSTR* out) {
    return bstr_out(std::to_string(in), out);
}

HRESULT VarBstrFromUI8(uint64_t in, LCID, uint32_t, BSTR* out) {
    return bstr_out(std::to_string(in), out);
}

HRESULT VarBstrFromBool(VARIANT_BOOL in, LCID, uint32_t flags, BSTR* out) {
    if ((flags & VARIANT_ALPHABOOL) != 0) {
        return bstr_out(in != 0 ? "True" : "False", out);
    }
    return bstr_out(in != 0 ? "-1" : "0", out);
}

HRESULT VarDecFromI2(int16_t in, DECIMAL* out) {
    return VarDecFromI8(in, out);
}
HRESULT VarDecFromI4(int32_t in, DECIMAL* out) {
    return VarDecFromI8(in, out);
}
HRESULT VarDecFromI8(int64_t in, DECIMAL* out) {
    const bool negative = in < 0;
    const u128 magnitude =
        negative ? static_cast<u128>(-static_cast<i128>(in)) : static_cast<u128>(in);
    return decimal_from_integer(negative, magnitude, out);
}
HRESULT VarDecFromUI2(uint16_t in, DECIMAL* out) {
    return VarDecFromUI8(in, out);
}
HRESULT VarDecFromUI4(uint32_t in, DECIMAL* out) {
    return VarDecFromUI8(in, out);
}
HRESULT VarDecFromUI8(uint64_t in, DECIMAL* out) {
    return decimal_from_integer(false, in, out);
}
HRESULT VarDecFromR4(float in, DECIMAL* out) {
    return decimal_from_double(in, 7, out);
}
HRESULT VarDecFromR8(double in, DECIMAL* out) {
    return decimal_from_double(in, 15, out);
}
HRESULT VarDecFromCy(CY in, DECIMAL* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    const bool negative = in.int64 < 0;
    const u128 magnitude =
        negative ? static_cast<u128>(-static_cast<i128>(in.int64)) : static_cast<u128>(in.int64);
    decimal_pack(exact_decimal{negative, magnitude, 4}, out);
    return S_OK;
}

HRESULT VarI1FromDec(const DECIMAL* in, char* out) {
    signed char value = 0;
    HRESULT hr = integer_from_decimal(in, &value);
    if (SUCCEEDED(hr)) {
        *out = static_cast<char>(value);
    }
    return hr;
}
HRESULT VarI2FromDec(const DECIMAL* in, int16_t* out) {
    return integer_from_decimal(in, out);
}
HRESULT VarUI2FromDec(const DECIMAL* in, uint16_t* out) {
    return integer_from_decimal(in, out);
}
HRESULT VarI4FromDec(const DECIMAL* in, int32_t* out) {
    return integer_from_decimal(in, out);
}
HRESULT VarUI4FromDec(const DECIMAL* in, uint32_t* out) {
    return integer_from_decimal(in, out);
}
HRESULT VarI8FromDec(const DECIMAL* in, int64_t* out) {
    return integer_from_decimal(in, out);
}
HRESULT VarUI8FromDec(const DECIMAL* in, uint64_t* out) {
    return integer_from_decimal(in, out);
}

HRESULT VarR8FromDec(const DECIMAL* in, double* out) {
    exact_decimal value;
    if (in == nullptr || out == nullptr || !decimal_unpack(*in, value)) {
        return E_INVALIDARG;
    }
    *out = decimal_to_double(value);
    return S_OK;
}

HRESULT VarR4FromDec(const DECIMAL* in, float* out) {
    exact_decimal value;
    if (in == nullptr || out == nullptr || !decimal_unpack(*in, value)) {
        return E_INVALIDARG;
    }
    // Read straight to single precision so that the value is rounded once.
    const std::string text = decimal_to_string(value);
    *out = std::strtof(text.c_str(), nullptr);
    return S_OK;
}

HRESULT VarCyFromDec(const DECIMAL* in, CY* out) {
    exact_decimal value;
    if (in == nullptr || out == nullptr || !decimal_unpack(*in, value)) {
        return E_INVALIDARG;
    }
    parsed_number number;
    parse_number(ascii_to_u16(decimal_to_string(value)), number);
    return cy_from_number(number, out);
}

HRESULT VarI4FromCy(CY in, int32_t* out) {
    const bool negative = in.int64 < 0;
    const u128 magnitude =
        negative ? static_cast<u128>(-static_cast<i128>(in.int64)) : static_cast<u128>(in.int64);
    return integer_from(negative, round_to_integer(exact_decimal{negative, magnitude, 4}), out);
}

HRESULT VarI8FromCy(CY in, int64_t* out) {
    const bool negative = in.int64 < 0;
    const u128 magnitude =
        negative ? static_cast<u128>(-static_cast<i128>(in.int64)) : static_cast<u128>(in.int64);
    return integer_from(negative, round_to_integer(exact_decimal{negative, magnitude, 4}), out);
}

HRESULT VarUI8FromCy(CY in, uint64_t* out) {
    const bool negative = in.int64 < 0;
    const u128 magnitude =
        negative ? static_cast<u128>(-static_cast<i128>(in.int64)) : static_cast<u128>(in.int64);
    const u128 rounded = round_to_integer(exact_decimal{negative, magnitude, 4});
    return integer_from(negative && rounded != 0, rounded, out);
}

HRESULT VarR8FromCy(CY in, double* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    *out = static_cast<double>(static_cast<long double>(in.int64) / cy_scale);
    return S_OK;
}

HRESULT VarR4FromCy(CY in, float* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    *out = static_cast<float>(static_cast<long double>(in.int64) / cy_scale);
    return S_OK;
}

HRESULT VarCyFromR8(double in, CY* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    if (!std::isfinite(in)) {
        return DISP_E_OVERFLOW;
    }
    // Through the shortest exact text of the double, so that 0.1 is 0.1000.
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17e", in);
    parsed_number number;
    parse_number(ascii_to_u16(buffer), number);
    return cy_from_number(number, out);
}

HRESULT VarCyFromI8(int64_t in, CY* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    if (in > std::numeric_limits<int64_t>::max() / cy_scale ||
        in < std::numeric_limits<int64_t>::min() / cy_scale) {
        return DISP_E_OVERFLOW;
    }
    out->int64 = in * cy_scale;
    return S_OK;
}

HRESULT VarI8FromR4(float in, int64_t* out) {
    return integer_from_double(static_cast<double>(in), out);
}
HRESULT VarI8FromR8(double in, int64_t* out) {
    return integer_from_double(in, out);
}
HRESULT VarUI8FromR4(float in, uint64_t* out) {
    return integer_from_double(static_cast<double>(in), out);
}
HRESULT VarUI8FromR8(double in, uint64_t* out) {
    return integer_from_double(in, out);
}
