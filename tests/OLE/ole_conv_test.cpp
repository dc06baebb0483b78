// Tests of the value conversions: text to values and back for every type code, the change of
// type in place, and the getters.
#include "OLE/ole_guid.h"
#include "OLE/ole_var.h"

#include "TK/tk_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <vector>
#include <limits>
#include <string>

namespace {

struct text_case {
    VARTYPE vt;
    const char* text;
    VARTYPE result_vt;
    const char* result; // to_string of the value read
};

std::string describe(VARTYPE vt, const char* text) {
    return "vt " + std::to_string(vt) + " '" + text + "'";
}

} // namespace

// Text read for each type code and written back: the canonical texts SQL receives.
TEST(OleConversions, TextToValueToText) {
    const text_case cases[] = {
        {VT_I1, "-128", VT_I1, "-128"},
        {VT_I1, "127", VT_I1, "127"},
        {VT_I1, "300", VT_I1, "44"},
        {VT_I1, "abc", VT_I1, "0"},
        {VT_UI1, "255", VT_UI1, "255"},
        {VT_UI1, "256", VT_UI1, "0"},
        {VT_I2, "-32768", VT_I2, "-32768"},
        {VT_I2, " +32767", VT_I2, "32767"},
        {VT_UI2, "65535", VT_UI2, "65535"},
        {VT_I4, "-2147483648", VT_I4, "-2147483648"},
        {VT_I4, "2147483647", VT_I4, "2147483647"},
        {VT_I4, "99999999999", VT_I4, "2147483647"},
        {VT_I4, "12abc", VT_I4, "12"},
        {VT_UI4, "4294967295", VT_UI4, "4294967295"},
        {VT_UI4, "-1", VT_UI4, "4294967295"},
        {VT_UI4, "x", VT_UI4, "0"},
        {VT_I8, "-9223372036854775808", VT_I8, "-9223372036854775808"},
        {VT_I8, "9223372036854775807", VT_I8, "9223372036854775807"},
        {VT_I8, "99999999999999999999", VT_I8, "9223372036854775807"},
        {VT_UI8, "18446744073709551615", VT_UI8, "18446744073709551615"},
        {VT_UI8, "0", VT_UI8, "0"},
        // Floats with 9 significant digits and doubles with 17 read back to the same value.
        {VT_R4, "16777215", VT_R4, "1.67772150e+07"},
        {VT_R4, "0.1", VT_R4, "1.00000001e-01"},
        // Read as a double, 3.40282347e+38 lies above the largest float: its exact value instead.
        {VT_R4, "3.40282347e+38", VT_R4, "3.4028234663852886e+38"},
        {VT_R4, "1.40129846e-45", VT_R4, "1.40129846e-45"},
        {VT_R4, "-0", VT_R4, "-0.00000000e+00"},
        {VT_R4, "nan", VT_R4, "0"},
        {VT_R4, "inf", VT_R4, "inf"},
        {VT_R8, "2.5", VT_R8, "2.5000000000000000e+00"},
        {VT_R8, "0.1", VT_R8, "1.0000000000000001e-01"},
        {VT_R8, "1.7976931348623157e308", VT_R8, "1.7976931348623157e+308"},
        {VT_R8, "4.9406564584124654e-324", VT_R8, "4.9406564584124654e-324"},
        {VT_R8, "-0", VT_R8, "-0.0000000000000000e+00"},
        {VT_R8, "NaN", VT_R8, "0"},
        {VT_R8, "-inf", VT_R8, "-inf"},
        {VT_R8, "12,5", VT_R8, "1.2500000000000000e+01"},
        {VT_R8, "1,234.56", VT_R8, "1.2340000000000000e+00"},
        {VT_R8, "abc", VT_R8, "0.0000000000000000e+00"},
        {VT_CY, "12.5", VT_CY, "12.5"},
        {VT_CY, "12,5", VT_CY, "12.5"},
        {VT_CY, "922337203685477.5807", VT_CY, "922337203685477.5807"},
        {VT_CY, "-922337203685477.5808", VT_CY, "-922337203685477.5808"},
        {VT_CY, "1.23455", VT_CY, "1.2346"},
        {VT_CY, "1.23445", VT_CY, "1.2344"},
        {VT_CY, "0.00005", VT_CY, "0"},
        {VT_CY, "922337203685477.5808", VT_EMPTY, ""},
        {VT_CY, "abc", VT_EMPTY, ""},
        {VT_DECIMAL, "79228162514264337593543950335", VT_DECIMAL, "79228162514264337593543950335"},
        {VT_DECIMAL, "-79228162514264337593543950335", VT_DECIMAL,
         "-79228162514264337593543950335"},
        {VT_DECIMAL, "0.1234567890123456789012345678", VT_DECIMAL,
         "0.1234567890123456789012345678"},
        {VT_DECIMAL, "1234567890.1234567890123456789", VT_DECIMAL,
         "1234567890.1234567890123456789"},
        // More digits than DECIMAL holds: the exact digits, never a double.
        {VT_DECIMAL, "12345678901234567890123456789012345678", VT_DECIMAL,
         "12345678901234567890123456789012345678"},
        {VT_DECIMAL, "-99999999999999999999999999999999999999", VT_DECIMAL,
         "-99999999999999999999999999999999999999"},
        {VT_DECIMAL, "79228162514264337593543950336", VT_DECIMAL, "79228162514264337593543950336"},
        {VT_DECIMAL, "1.2345678901234567890123456789012", VT_DECIMAL,
         "1.2345678901234567890123456789012"},
        {VT_DECIMAL, "0.00000000000000000000000000000001", VT_DECIMAL,
         "0.00000000000000000000000000000001"},
        {VT_DECIMAL, "+0012.50", VT_DECIMAL, "12.50"},
        {VT_DECIMAL, "123.4500", VT_DECIMAL, "123.4500"},
        {VT_DECIMAL, "-0", VT_DECIMAL, "0"},
        {VT_DECIMAL, "-0.00", VT_DECIMAL, "0.00"},
        {VT_DECIMAL, "12,5", VT_DECIMAL, "12.5"},
        {VT_DECIMAL, "1e5", VT_DECIMAL, "100000"},
        {VT_DECIMAL, "abc", VT_R8, "0.0000000000000000e+00"},
        {VT_DECIMAL, "1e40", VT_R8, "1.0000000000000000e+40"},
        {VT_BOOL, "YES", VT_BOOL, "1"},
        {VT_BOOL, "2", VT_BOOL, "1"},
        {VT_BOOL, " 5", VT_BOOL, "1"},
        {VT_BOOL, "abc", VT_BOOL, "0"},
        {VT_BOOL, "False", VT_BOOL, "0"},
        {VT_BOOL, "True", VT_BOOL, "1"},
        {VT_BOOL, "TRUE", VT_BOOL, "1"},
        {VT_BOOL, "false", VT_BOOL, "0"},
        {VT_BOOL, "t", VT_BOOL, "1"},
        {VT_DATE, "2020-01-02 10:20:30.123456", VT_DATE, "2020-01-02 10:20:30.123456"},
        {VT_DATE, "2020-01-02", VT_DATE, "2020-01-02"},
        {VT_DATE, "10:20:30", VT_DATE, "0000-00-00 10:20:30"},
        {VT_DATE, "0000-00-00 10:20:30.000001", VT_DATE, "0000-00-00 10:20:30.000001"},
        {VT_DATE, "2019-02-29", VT_EMPTY, ""},
        {VT_BSTR, "h\xC3\xA9llo", VT_BSTR, "h\xC3\xA9llo"},
        {VT_BSTR, "", VT_BSTR, ""},
        {VT_ARRAY | VT_UI1, "0x0A0b", VT_ARRAY | VT_UI1, "0x0A0B"},
        {VT_ARRAY | VT_UI1, "\\x41", VT_ARRAY | VT_UI1, "0x41"},
        {VT_ARRAY | VT_UI1, "abc", VT_EMPTY, ""},
        {VT_ARRAY | VT_UI1, "zz", VT_ARRAY | VT_UI1, "0x00"},
        {VT_BLOB, "00ff", VT_BLOB, "0x00FF"},
        {VT_INT, "12", VT_INT, ""},
        {VT_NULL, "anything", VT_NULL, ""},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(describe(c.vt, c.text));
        const ole_variant value = ole_variant::from_string(c.text, c.vt);
        EXPECT_EQ(value.get_type(), c.result_vt);
        EXPECT_EQ(value.to_string(), c.result);
        EXPECT_EQ(value.to_wstring(), tk_utf8_to_wstring(c.result));
        // The text written reads back to the same value.
        const bool nan_as_zero = (c.vt == VT_R4 || c.vt == VT_R8) && std::string(c.result) == "0";
        if (c.result_vt == c.vt && c.result[0] != 0 && c.vt != VT_NULL && c.vt != VT_INT &&
            !nan_as_zero) {
            EXPECT_EQ(ole_variant::from_string(c.result, c.vt).to_string(), c.result);
        }
        EXPECT_EQ(
            ole_variant::from_wstring(std::wstring(c.text, c.text + std::strlen(c.text)), c.vt)
                .get_type(),
            c.result_vt);
    }
    for (VARTYPE vt : {VT_I4, VT_R8, VT_CY, VT_DECIMAL, VT_DATE, VT_BOOL, VT_BLOB}) {
        EXPECT_EQ(ole_variant::from_string("", vt).get_type(), VT_EMPTY) << vt;
    }
    EXPECT_THROW(ole_variant::from_string("abc", VT_BLOB_OBJECT), ole_type_exception);
}

// Integer text is read as strtoll reads it in the C locale: blanks, one sign, the leading
// digits, the 64-bit limits for anything beyond them (and the 32-bit limits for VT_I4).
TEST(OleConversions, IntegerTextReadsAsTheCLibraryReadsIt) {
    const std::string texts[] = {"0",
                                 "-0",
                                 "+7",
                                 " \t\n\v\f\r42",
                                 "42  ",
                                 "12abc",
                                 "abc",
                                 "-",
                                 "+",
                                 "+-1",
                                 "-+1",
                                 "--1",
                                 " - 1",
                                 "0x1A",
                                 "007",
                                 "-007",
                                 "1e5",
                                 "3.9",
                                 "-3.9",
                                 "\xC2\xA0"
                                 "5",
                                 "\xD9\xA3",
                                 std::string("1\0"
                                             "2",
                                             3),
                                 std::string("\0"
                                             "5",
                                             2),
                                 "2147483648",
                                 "-2147483649",
                                 "9223372036854775807",
                                 "9223372036854775808",
                                 "-9223372036854775808",
                                 "-9223372036854775809",
                                 "18446744073709551616",
                                 "-18446744073709551616",
                                 "000000000000000000000000000000012",
                                 "99999999999999999999999999999999999999999"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const long long expected = std::strtoll(text.c_str(), nullptr, 10);
        EXPECT_EQ(ole_variant::from_string(text, VT_I8).hyper, expected);
        const long long clamped =
            std::min<long long>(std::max<long long>(expected, INT32_MIN), INT32_MAX);
        EXPECT_EQ(ole_variant::from_string(text, VT_I4).var.lVal, clamped);
    }
}

// The text of DECIMALs built bit by bit: magnitudes on both sides of 2^64 and 10^19, signs,
// scales 0 and 28, and the invalid ones that have no text. The platform's own text of each
// must be the same.
TEST(OleConversions, DecimalTextAtTheEdges) {
    struct decimal_case {
        uint32_t hi;
        uint64_t lo;
        uint8_t scale;
        uint8_t sign;
        const char* text; // "" where the DECIMAL is invalid
    };
    const decimal_case cases[] = {
        {0, 0, 0, 0, "0"},
        {0, 0, 28, DECIMAL_NEG, "0.0000000000000000000000000000"},
        {0, 5, 28, 0, "0.0000000000000000000000000005"},
        {0, 12345, 2, DECIMAL_NEG, "-123.45"},
        {0, 12345, 5, 0, "0.12345"},
        {0, 12345, 6, 0, "0.012345"},
        {0, 9999999999999999999ULL, 0, 0, "9999999999999999999"},
        {0, 10000000000000000000ULL, 0, 0, "10000000000000000000"},
        {0, UINT64_MAX, 0, 0, "18446744073709551615"},
        {1, 0, 0, 0, "18446744073709551616"},
        {1, 5, 20, DECIMAL_NEG, "-0.18446744073709551621"},
        {1, 5, 19, 0, "1.8446744073709551621"},
        {5, 0x6BC75E2D63100000ULL, 0, 0, "100000000000000000000"}, // 10^20: zeros below 10^19
        {5, 0x6BC75E2D63100001ULL, 10, DECIMAL_NEG, "-10000000000.0000000001"},
        {0xFFFFFFFF, UINT64_MAX, 0, DECIMAL_NEG, "-79228162514264337593543950335"},
        {0xFFFFFFFF, UINT64_MAX, 28, 0, "7.9228162514264337593543950335"},
        {0, 1, 29, 0, ""},
        {0, 1, 0, 0x01, ""},
    };
    for (const decimal_case& c : cases) {
        SCOPED_TRACE(c.text);
        ole_variant value;
        value.var.vt = VT_DECIMAL;
        value.var.decVal.scale = c.scale;
        value.var.decVal.sign = c.sign;
        value.var.decVal.Hi32 = c.hi;
        value.var.decVal.Lo64 = c.lo;
        EXPECT_EQ(value.to_string(), c.text);
        BSTR platform_text = nullptr;
        const HRESULT hr = VarBstrFromDec(&value.var.decVal, 1033, 0, &platform_text);
        EXPECT_EQ(SUCCEEDED(hr), c.text[0] != 0);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(
                tk_utf16_to_utf8(std::u16string_view(platform_text, SysStringLen(platform_text))),
                c.text);
            SysFreeString(platform_text);
            // And the text reads back to the same bits.
            const ole_variant back = ole_variant::from_string(c.text, VT_DECIMAL);
            EXPECT_EQ(back.var.decVal.Hi32, c.hi);
            EXPECT_EQ(back.var.decVal.Lo64, c.lo);
            EXPECT_EQ(back.var.decVal.scale, c.scale);
        }
    }
}

// Every float and many doubles survive the trip through their text, also when the reader (as
// MySQL does) parses the text as a double and then narrows it: the largest float must not come
// out above the float range.
TEST(OleConversions, FloatingPointTextReadsBackExactly) {
    std::vector<uint32_t> patterns{0x7F7FFFFFu, 0x00800000u, 0x00000001u};
    for (uint32_t bits = 0; bits < 0x7F800000u; bits += 0x00012345u) {
        patterns.push_back(bits);
    }
    for (uint32_t bits : patterns) {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        for (float sign : {1.0f, -1.0f}) {
            ole_variant value = ole_variant::from_string("0", VT_R4);
            value.var.fltVal = sign * f;
            const std::string text = value.to_string();
            const ole_variant back = ole_variant::from_string(text, VT_R4);
            ASSERT_EQ(std::memcmp(&back.var.fltVal, &value.var.fltVal, sizeof f), 0) << text;
            const double as_double = std::strtod(text.c_str(), nullptr);
            ASSERT_LE(std::fabs(as_double), std::numeric_limits<float>::max()) << text;
            ASSERT_EQ(static_cast<float>(as_double), value.var.fltVal) << text;
        }
    }
    for (double d : {1.0 / 3, 2.0 / 3, 1e-310, 123456789.123456789, 9007199254740993.0}) {
        const ole_variant value(d);
        EXPECT_EQ(ole_variant::from_string(value.to_string(), VT_R8).var.dblVal, d);
    }
}

// Dates from the first year to the last, with microseconds, as date and time, date only and
// time only, come back as the same text.
TEST(OleConversions, DatesRoundTripFromYearOneTo9999) {
    char text[64];
    for (int year = 1; year <= 9999; year += 7) {
        const int month = 1 + year % 12;
        const int day = 1 + year % 28;
        const int micro = (year * 7919) % 1000000;
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", year, month, day,
                      year % 24, year % 60, (year / 60) % 60, micro == 0 ? 1 : micro);
        ole_variant value = ole_variant::from_string(text, VT_DATE);
        ASSERT_EQ(value.to_string(), text);
        ASSERT_EQ(ole_variant(value).to_string(), text);
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        ASSERT_EQ(ole_variant::from_string(text, VT_DATE).to_string(), text);
    }
    EXPECT_EQ(ole_variant::from_string("9999-12-31 23:59:59.999999", VT_DATE).to_string(),
              "9999-12-31 23:59:59.999999");
    EXPECT_EQ(ole_variant::from_string("0001-01-01 00:00:00.000001", VT_DATE).to_string(),
              "0001-01-01 00:00:00.000001");
    EXPECT_EQ(ole_variant::from_string("23:59:59.999999", VT_DATE).to_wstring(),
              L"0000-00-00 23:59:59.999999");
}

TEST(OleConversions, ChangeTypeRules) {
    auto changed = [](ole_variant value, VARTYPE vt) {
        value.change_type(vt);
        return value;
    };
    // Relabelling and values left alone.
    ole_variant bytes = ole_variant::from_string("0102", VT_ARRAY | VT_UI1);
    EXPECT_EQ(changed(bytes, VT_BLOB).get_type(), VT_BLOB);
    EXPECT_EQ(changed(changed(bytes, VT_BLOB), VT_ARRAY | VT_UI1).get_type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(changed(bytes, VT_BLOB_OBJECT).get_type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(changed(ole_variant(), VT_I4).get_type(), VT_EMPTY);

    // Text to BOOL by the words only.
    EXPECT_EQ(changed(ole_variant(std::wstring(L"True")), VT_BOOL).var.boolVal, -1);
    EXPECT_EQ(changed(ole_variant(std::wstring(L"no")), VT_BOOL).var.boolVal, 0);
    EXPECT_THROW(changed(ole_variant(std::wstring(L"1")), VT_BOOL), ole_cast_exception);

    // From 64-bit integers.
    const ole_variant five = ole_variant::from_string("5", VT_I8);
    EXPECT_EQ(changed(five, VT_CY).var.cyVal.int64, 50000);
    EXPECT_EQ(changed(ole_variant::from_string("1", VT_I8), VT_BOOL).var.boolVal, -1);
    EXPECT_EQ(changed(ole_variant::from_string("0", VT_I8), VT_BOOL).var.boolVal, 0);
    EXPECT_EQ(changed(ole_variant::from_string("300", VT_I8), VT_UI1).to_string(), "44");
    EXPECT_EQ(changed(ole_variant::from_string("-1", VT_I8), VT_UI4).to_string(), "4294967295");
    EXPECT_EQ(changed(ole_variant::from_string("-1", VT_I8), VT_UI8).to_string(),
              "18446744073709551615");
    EXPECT_EQ(
        changed(ole_variant::from_string("18446744073709551615", VT_UI8), VT_DECIMAL).to_string(),
        "18446744073709551615");
    EXPECT_EQ(changed(ole_variant::from_string("-42", VT_I8), VT_BSTR).to_wstring(), L"-42");
    EXPECT_THROW(changed(ole_variant::from_string("9223372036854775807", VT_I8), VT_CY),
                 ole_cast_exception);
    EXPECT_THROW(changed(five, VT_DATE), ole_cast_exception);

    // Dates only become text.
    const ole_variant date = ole_variant::from_string("2020-01-02 10:20:30.5", VT_DATE);
    EXPECT_EQ(changed(date, VT_BSTR).to_wstring(), L"2020-01-02 10:20:30.500000");
    EXPECT_THROW(changed(date, VT_R8), ole_cast_exception);

    // To 64-bit integers.
    const ole_variant money = ole_variant::from_string("12.5", VT_CY);
    EXPECT_EQ(changed(money, VT_I8).hyper, money.to_i8());
    EXPECT_EQ(changed(ole_variant(true), VT_I8).hyper, -1);
    EXPECT_EQ(changed(ole_variant::from_string("65535", VT_UI2), VT_I8).hyper, 65535);
    EXPECT_EQ(changed(ole_variant(2.5), VT_I8).hyper, 2);
    // Floating point beyond the 64-bit range is refused, never answered with what the slot
    // held before.
    ole_variant reused = ole_variant::from_string("5", VT_I8);
    reused = ole_variant(1e20);
    EXPECT_THROW(reused.change_type(VT_I8), ole_cast_exception);
    EXPECT_THROW(changed(ole_variant(-1e20), VT_I8), ole_cast_exception);
    EXPECT_THROW(changed(ole_variant(std::nan("")), VT_UI8), ole_cast_exception);
    EXPECT_EQ(changed(ole_variant(1e19), VT_UI8).uhyper, 10000000000000000000ULL);
    EXPECT_EQ(changed(ole_variant::from_string("-7.5", VT_DECIMAL), VT_I8).hyper, -8);
    EXPECT_THROW(changed(ole_variant::from_string("-1", VT_DECIMAL), VT_UI8), ole_cast_exception);
    EXPECT_THROW(changed(ole_variant(std::wstring(L"123")), VT_I8), ole_cast_exception);

    // To 32- and 16-bit integers: half away from zero.
    EXPECT_EQ(changed(ole_variant(-2.5), VT_I4).var.lVal, -3);
    EXPECT_EQ(changed(ole_variant(2.5), VT_I4).var.lVal, 3);
    EXPECT_EQ(changed(ole_variant(2.4999), VT_I4).var.lVal, 2);
    EXPECT_EQ(changed(ole_variant(-1.0), VT_UI2).to_string(), "65535");
    EXPECT_THROW(changed(ole_variant(1e10), VT_I4), ole_cast_exception);
    EXPECT_THROW(changed(ole_variant(std::nan("")), VT_I4), ole_cast_exception);
    EXPECT_EQ(changed(ole_variant::from_string("2.5", VT_DECIMAL), VT_I4).var.lVal, 2);
    EXPECT_THROW(changed(ole_variant::from_string("70000", VT_DECIMAL), VT_I2), ole_cast_exception);
    EXPECT_EQ(changed(ole_variant(std::wstring(L"12")), VT_I4).get_type(), VT_BSTR);
    EXPECT_EQ(changed(ole_variant::from_string("-128", VT_DECIMAL), VT_I1).to_string(), "-128");
    EXPECT_THROW(changed(ole_variant::from_string("128", VT_DECIMAL), VT_I1), ole_cast_exception);

    // Text to date.
    EXPECT_EQ(changed(ole_variant(std::wstring(L"2020-01-02")), VT_DATE).to_string(), "2020-01-02");
    EXPECT_THROW(changed(ole_variant(std::wstring(L"not a date")), VT_DATE), ole_cast_exception);
    EXPECT_THROW(changed(ole_variant(2.5), VT_DATE), ole_cast_exception);

    // Bytes and text.
    EXPECT_EQ(changed(ole_variant(std::wstring(L"ab")), VT_ARRAY | VT_UI1).to_string(), "0x6162");
    EXPECT_EQ(changed(ole_variant::from_string("258", VT_I2), VT_ARRAY | VT_UI1).to_string(),
              "0x0201");
    EXPECT_EQ(changed(ole_variant::from_string("1.5", VT_DECIMAL), VT_ARRAY | VT_UI1).to_string(),
              "0x0E000100000000000F00000000000000");
    EXPECT_EQ(changed(ole_variant::from_string("6162", VT_ARRAY | VT_UI1), VT_BSTR).to_wstring(),
              L"ab");
    EXPECT_THROW(changed(five, VT_ARRAY | VT_UI1), ole_cast_exception);

    // Through the platform.
    EXPECT_EQ(changed(ole_variant(std::wstring(L"123")), VT_R8).var.dblVal, 123.0);
    EXPECT_EQ(changed(ole_variant::from_string("7", VT_I4), VT_R8).var.dblVal, 7.0);
    EXPECT_EQ(changed(ole_variant::from_string("12.5", VT_CY), VT_DECIMAL).to_string(), "12.5000");
    EXPECT_EQ(changed(ole_variant::from_string("1.5", VT_DECIMAL), VT_R4).var.fltVal, 1.5f);
    EXPECT_THROW(changed(ole_variant::from_string("300", VT_I4), VT_UI1), ole_cast_exception);
    EXPECT_THROW(changed(ole_variant(std::wstring(L"abc")), VT_R8), ole_cast_exception);

    // A decimal too wide for DECIMAL converts to text and floating point only.
    const ole_variant wide =
        ole_variant::from_string("12345678901234567890123456789012345678", VT_DECIMAL);
    EXPECT_EQ(changed(wide, VT_BSTR).to_wstring(), L"12345678901234567890123456789012345678");
    EXPECT_EQ(changed(wide, VT_R8).var.dblVal, 1.2345678901234568e37);
    EXPECT_THROW(changed(wide, VT_I4), ole_cast_exception);
    EXPECT_THROW(changed(wide, VT_CY), ole_cast_exception);
    DECIMAL dec{};
    EXPECT_THROW(wide.to_decimal(&dec), ole_cast_exception);
    EXPECT_EQ(ole_variant(wide).to_string(), "12345678901234567890123456789012345678");
}

// Every pair of the type codes the readers produce and the type mappings ask for: the text of
// the converted value, "!" where the conversion is refused, "=" before the text where the value
// is left as it was.
TEST(OleConversions, ChangeTypeMatrix) {
    const VARTYPE targets[] = {
        VT_I1, VT_UI1, VT_I2, VT_UI2,     VT_I4,   VT_UI4,  VT_I8,   VT_UI8,
        VT_R4, VT_R8,  VT_CY, VT_DECIMAL, VT_BOOL, VT_BSTR, VT_DATE, VT_ARRAY | VT_UI1};
    struct row {
        VARTYPE vt;
        const char* text;
        const char* expected[16];
    };
    const row rows[] = {
        {16,
         "-5",
         {"-5", "!", "=-5", "=-5", "=-5", "=-5", "-5", "18446744073709551611", "-5.00000000e+00",
          "-5.0000000000000000e+00", "-5", "-5", "1", "-5", "!", "0xFB"}},
        {17,
         "200",
         {"=200", "200", "=200", "=200", "=200", "=200", "200", "200", "2.00000000e+02",
          "2.0000000000000000e+02", "200", "200", "1", "200", "!", "0xC8"}},
        {2,
         "-300",
         {"=-300", "!", "-300", "=-300", "=-300", "=-300", "-300", "18446744073709551316",
          "-3.00000000e+02", "-3.0000000000000000e+02", "-300", "-300", "1", "-300", "!",
          "0xD4FE"}},
        {18,
         "60000",
         {"=60000", "!", "=60000", "60000", "=60000", "=60000", "60000", "60000", "6.00000000e+04",
          "6.0000000000000000e+04", "60000", "60000", "1", "60000", "!", "0x60EA"}},
        {3,
         "-70000",
         {"=-70000", "!", "=-70000", "=-70000", "-70000", "=-70000", "-70000",
          "18446744073709481616", "-7.00000000e+04", "-7.0000000000000000e+04", "-70000", "-70000",
          "1", "-70000", "!", "0x90EEFEFF"}},
        {19,
         "3000000000",
         {"=3000000000", "!", "=3000000000", "=3000000000", "=3000000000", "3000000000",
          "3000000000", "3000000000", "3.00000000e+09", "3.0000000000000000e+09", "3000000000",
          "3000000000", "1", "3000000000", "!", "0x005ED0B2"}},
        {20,
         "-5000000000",
         {"0", "0", "3584", "3584", "-705032704", "3589934592", "-5000000000",
          "18446744068709551616", "-5.00000000e+09", "-5.0000000000000000e+09", "-5000000000",
          "-5000000000", "1", "-5000000000", "!", "!"}},
        {21,
         "10000000000000000000",
         {"0", "0", "0", "0", "-1981284352", "2313682944", "-8446744073709551616",
          "10000000000000000000", "9.99999998e+18", "1.0000000000000000e+19", "!",
          "10000000000000000000", "1", "10000000000000000000", "!", "!"}},
        {4,
         "2.5",
         {"=2.50000000e+00", "2", "3", "3", "3", "3", "2", "2", "2.50000000e+00",
          "2.5000000000000000e+00", "2.5", "2.5", "1", "2.5", "!", "0x00002040"}},
        {5,
         "-2.5",
         {"=-2.5000000000000000e+00", "!", "-3", "65533", "-3", "4294967293", "-2", "!",
          "-2.50000000e+00", "-2.5000000000000000e+00", "-2.5", "-2.5", "1", "-2.5", "!",
          "0x00000000000004C0"}},
        {6,
         "12.5",
         {"=12.5", "12", "=12.5", "=12.5", "=12.5", "=12.5", "12", "12", "1.25000000e+01",
          "1.2500000000000000e+01", "12.5", "12.5000", "1", "12.5", "!", "0x48E8010000000000"}},
        {14,
         "1.5",
         {"2", "2", "2", "2", "2", "2", "2", "2", "1.50000000e+00", "1.5000000000000000e+00", "1.5",
          "1.5", "1", "1.5", "!", "0x0E000100000000000F00000000000000"}},
        {11,
         "yes",
         {"=1", "!", "=1", "=1", "=1", "=1", "-1", "18446744073709551615", "-1.00000000e+00",
          "-1.0000000000000000e+00", "-1", "-1", "1", "-1", "!", "0xFFFF"}},
        {8,
         "42",
         {"=42", "42", "=42", "=42", "=42", "=42", "!", "!", "4.20000000e+01",
          "4.2000000000000000e+01", "42", "42", "!", "42", "!", "0x3432"}},
        {7,
         "2020-01-02 10:20:30",
         {"!", "!", "!", "!", "!", "!", "!", "!", "!", "!", "!", "!", "!", "2020-01-02 10:20:30",
          "2020-01-02 10:20:30", "!"}},
        {8209,
         "3132",
         {"=0x3132", "=0x3132", "=0x3132", "=0x3132", "=0x3132", "=0x3132", "!", "!", "=0x3132",
          "=0x3132", "=0x3132", "=0x3132", "=0x3132", "12", "!", "0x3132"}},
    };
    for (const row& r : rows) {
        for (int t = 0; t < 16; ++t) {
            SCOPED_TRACE(describe(r.vt, r.text) + " -> " + std::to_string(targets[t]));
            ole_variant value = ole_variant::from_string(r.text, r.vt);
            ASSERT_EQ(value.get_type(), r.vt);
            const std::string expected = r.expected[t];
            if (expected == "!") {
                EXPECT_THROW(value.change_type(targets[t]), ole_cast_exception);
                continue;
            }
            value.change_type(targets[t]);
            if (expected[0] == '=') {
                EXPECT_EQ(value.get_type(), r.vt);
                EXPECT_EQ(value.to_string(), expected.substr(1));
                continue;
            }
            EXPECT_EQ(value.get_type(), targets[t]);
            EXPECT_EQ(value.to_string(), expected);
        }
    }
}

TEST(OleConversions, Getters) {
    const ole_variant ui1 = ole_variant::from_string("200", VT_UI1);
    EXPECT_EQ(ui1.to_i8(), 200);
    EXPECT_EQ(ui1.to_ui8(), 200u);
    EXPECT_EQ(ole_variant(2.9).to_long(), 2);
    EXPECT_EQ(ole_variant(2.9).to_i8(), 3);
    EXPECT_EQ(ole_variant(-2.5).to_i8(), -3);
    EXPECT_EQ(ole_variant::from_string("-1", VT_I4).to_ui8(), 18446744073709551615u);
    EXPECT_EQ(ole_variant(1e300).to_long(), INT32_MAX);
    EXPECT_EQ(ole_variant(std::nan("")).to_i8(), 0);
    EXPECT_TRUE(ole_variant(std::nan("")).to_bool());
    EXPECT_FALSE(ole_variant(0.0).to_bool());

    const ole_variant money = ole_variant::from_string("2.5", VT_CY);
    EXPECT_EQ(money.to_long(), 2);
    EXPECT_EQ(money.to_i8(), 2);
    EXPECT_EQ(money.to_double(), 2.5);
    EXPECT_TRUE(money.to_bool());
    EXPECT_FALSE(ole_variant::from_string("0.4", VT_CY).to_bool());

    const ole_variant dec = ole_variant::from_string("3.5", VT_DECIMAL);
    EXPECT_EQ(dec.to_long(), 4);
    EXPECT_EQ(dec.to_float(), 3.5f);
    EXPECT_FALSE(ole_variant::from_string("9999999999", VT_DECIMAL).to_bool());

    ole_variant odd_bool = ole_variant::from_string("1", VT_BOOL);
    odd_bool.var.boolVal = 1;
    EXPECT_FALSE(odd_bool.to_bool());
    EXPECT_EQ(odd_bool.to_string(), "0");
    EXPECT_EQ(ole_variant(true).to_long(), 1);

    const ole_variant big = ole_variant::from_string("18446744073709551615", VT_UI8);
    EXPECT_EQ(big.to_double(), 18446744073709551615.0);
    EXPECT_EQ(big.to_long(), -1);
    DECIMAL out{};
    big.to_decimal(&out);
    EXPECT_EQ(ole_variant::from_string("18446744073709551615", VT_DECIMAL).var.decVal.Lo64,
              out.Lo64);
    EXPECT_THROW(big.to_decimal(nullptr), tk_mail_assertion);
    EXPECT_THROW(money.to_decimal(&out), ole_cast_exception);
    EXPECT_THROW(ole_variant().to_decimal(&out), ole_cast_exception);

    const ole_variant text(std::wstring(L"12"));
    EXPECT_EQ(text.to_long(), 0);
    EXPECT_FALSE(text.to_bool());
    EXPECT_THROW(text.to_double(), tk_mail_assertion);
    EXPECT_THROW(text.to_float(), tk_mail_assertion);
    EXPECT_EQ(ole_variant().to_double(), 0.0);
}

// Unreadable input of every kind takes a defined path: a value, VT_EMPTY or the documented
// exception, never a crash (the sanitizer build checks for undefined behaviour).
TEST(OleConversions, BadInputTakesDefinedPaths) {
    const char alphabet[] = "0123456789+-.,:/ eE xXaAfFpPmMtTnNiI\\{}guidGUID\x01\xC3\xA9\xFF";
    const VARTYPE types[] = {VT_I1,
                             VT_UI1,
                             VT_I2,
                             VT_UI2,
                             VT_I4,
                             VT_UI4,
                             VT_I8,
                             VT_UI8,
                             VT_R4,
                             VT_R8,
                             VT_CY,
                             VT_DECIMAL,
                             VT_BOOL,
                             VT_DATE,
                             VT_BSTR,
                             VT_BLOB,
                             VT_ARRAY | VT_UI1,
                             VT_INT};
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const std::size_t length = next() % 48;
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(alphabet[next() % (sizeof alphabet - 1)]);
        }
        for (VARTYPE vt : types) {
            try {
                ole_variant value = ole_variant::from_string(text, vt);
                value.to_string();
                value.to_wstring();
                for (VARTYPE target : types) {
                    ole_variant copy(value);
                    try {
                        copy.change_type(target);
                        copy.to_string();
                    } catch (const ole_cast_exception&) {
                    }
                }
            } catch (const ole_type_exception&) {
            }
        }
        const ole_date date(text);
        date.to_string(6);
        const ole_guid_extractor guid(text);
        guid.get_wstr();
    }
}
