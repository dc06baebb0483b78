// Tests of the OLE Automation stand-in: storage types, numbers, currency, DECIMAL and dates.
#include "platform/oleaut/oleaut.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

std::u16string u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string ascii(BSTR text) {
    std::string out;
    for (unsigned i = 0; i < SysStringLen(text); ++i) {
        out.push_back(static_cast<char>(text[i]));
    }
    return out;
}

// The BSTR's text, freed.
std::string take(BSTR text) {
    std::string out = ascii(text);
    SysFreeString(text);
    return out;
}

std::string dec_text(const DECIMAL& d) {
    BSTR text = nullptr;
    EXPECT_EQ(VarBstrFromDec(&d, 1033, 0, &text), S_OK);
    return take(text);
}

struct variant_holder {
    VARIANT v;
    variant_holder() { VariantInit(&v); }
    ~variant_holder() { VariantClear(&v); }
};

} // namespace

TEST(Bstr, KeepsLengthAndEmbeddedNul) {
    const char16_t text[] = u"ab\0cd";
    BSTR whole = SysAllocStringLen(text, 5);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(SysStringLen(whole), 5u);
    EXPECT_EQ(SysStringByteLen(whole), 10u);
    EXPECT_EQ(whole[5], 0);
    EXPECT_EQ(std::u16string(whole, 5), std::u16string(text, 5));
    BSTR cut = SysAllocString(text);
    EXPECT_EQ(SysStringLen(cut), 2u);
    EXPECT_TRUE(SysReAllocStringLen(&cut, whole + 3, 2));
    EXPECT_EQ(std::u16string(cut, 2), u"cd");
    SysFreeString(whole);
    SysFreeString(cut);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);
}

TEST(SafeArray, VectorBoundsRedimAndCopy) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 5, 3);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    EXPECT_EQ(array->cbElements, 1u);
    int32_t lower = 0, upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 5);
    EXPECT_EQ(upper, 7);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), DISP_E_BADINDEX);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    std::memcpy(data, "\x01\x00\x02", 3);
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    SafeArrayUnaccessData(array);

    const SAFEARRAYBOUND bigger{6, 0};
    ASSERT_EQ(SafeArrayRedim(array, &bigger), S_OK);
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(lower, 0) << "Redim takes the new bound as given";
    EXPECT_EQ(std::memcmp(array->pvData, "\x01\x00\x02\x00\x00\x00", 6), 0);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
    EXPECT_NE(copy->pvData, array->pvData);
    EXPECT_EQ(std::memcmp(copy->pvData, array->pvData, 6), 0);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);

    const SAFEARRAYBOUND two[2] = {{2, 0}, {3, 1}};
    SAFEARRAY* matrix = SafeArrayCreate(VT_UI1, 2, two);
    ASSERT_NE(matrix, nullptr);
    EXPECT_EQ(SafeArrayGetDim(matrix), 2u);
    EXPECT_EQ(SafeArrayGetUBound(matrix, 2, &upper), S_OK);
    EXPECT_EQ(upper, 3);
    SafeArrayDestroy(matrix);
    EXPECT_EQ(SafeArrayCreateVector(VT_BSTR, 0, 1), nullptr);
}

TEST(Variant, CopyIsDeepAndClearReleases) {
    variant_holder text, bytes, blob, copy;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = SysAllocStringLen(u"x\0y", 3);
    ASSERT_EQ(VariantCopy(&copy.v, &text.v), S_OK);
    EXPECT_NE(copy.v.bstrVal, text.v.bstrVal);
    EXPECT_EQ(SysStringLen(copy.v.bstrVal), 3u);

    bytes.v.vt = VT_ARRAY | VT_UI1;
    bytes.v.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
    ASSERT_EQ(VariantCopy(&copy.v, &bytes.v), S_OK); // releases the BSTR copy first
    EXPECT_NE(copy.v.parray, bytes.v.parray);

    blob.v.vt = VT_BLOB;
    blob.v.parray = SafeArrayCreateVector(VT_UI1, 0, 2);
    ASSERT_EQ(VariantCopy(&copy.v, &blob.v), S_OK);
    EXPECT_EQ(copy.v.vt, VT_BLOB);
    EXPECT_NE(copy.v.parray, blob.v.parray);
    EXPECT_EQ(VariantCopy(&copy.v, &copy.v), S_OK);
}

TEST(Decimal, FromTextAndBack) {
    struct row {
        const char* text;
        HRESULT hr;
        const char* back;
    };
    const row rows[] = {
        {"79228162514264337593543950335", S_OK, "79228162514264337593543950335"},
        {"-79228162514264337593543950335", S_OK, "-79228162514264337593543950335"},
        {"79228162514264337593543950336", DISP_E_OVERFLOW, ""},
        {"12345678901234567890123456789012345678", DISP_E_OVERFLOW, ""},
        {"0.0000000000000000000000000001", S_OK, "0.0000000000000000000000000001"},
        {"0.00000000000000000000000000005", S_OK, "0.0000000000000000000000000000"},
        {"0.00000000000000000000000000015", S_OK, "0.0000000000000000000000000002"},
        {"1.2345678901234567890123456789", S_OK, "1.2345678901234567890123456789"},
        {"7.92281625142643375935439503355", S_OK, "7.922816251426433759354395034"}, // 2^96 at 28
        {"123.4500", S_OK, "123.4500"},
        {"  -1,234.5 ", S_OK, "-1234.5"},
        {"+0.5", S_OK, "0.5"},
        {"-0", S_OK, "0"},
        {"1e3", S_OK, "1000"},
        {"1.5E-3", S_OK, "0.0015"},
        {"", DISP_E_TYPEMISMATCH, ""},
        {"abc", DISP_E_TYPEMISMATCH, ""},
        {"12x", DISP_E_TYPEMISMATCH, ""},
        {"1.2.3", DISP_E_TYPEMISMATCH, ""},
        {"-", DISP_E_TYPEMISMATCH, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        DECIMAL d{};
        const std::u16string text = u16(r.text);
        ASSERT_EQ(VarDecFromStr(text.c_str(), 1033, 0, &d), r.hr);
        if (r.hr == S_OK) {
            EXPECT_LE(d.scale, 28);
            EXPECT_EQ(dec_text(d), r.back);
        }
    }
}

TEST(Decimal, ToIntegersRoundHalfToEvenAndCheckRange) {
    struct row {
        const char* text;
        HRESULT i4_hr;
        int32_t i4;
    };
    const row rows[] = {
        {"2.5", S_OK, 2},
        {"3.5", S_OK, 4},
        {"-2.5", S_OK, -2},
        {"2.5000001", S_OK, 3},
        {"2147483647.4", S_OK, INT32_MAX},
        {"2147483647.5", DISP_E_OVERFLOW, 0},
        {"-2147483648", S_OK, INT32_MIN},
        {"-2147483649", DISP_E_OVERFLOW, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        DECIMAL d{};
        ASSERT_EQ(VarDecFromStr(u16(r.text).c_str(), 1033, 0, &d), S_OK);
        int32_t value = 0;
        ASSERT_EQ(VarI4FromDec(&d, &value), r.i4_hr);
        if (r.i4_hr == S_OK) {
            EXPECT_EQ(value, r.i4);
        }
    }
    DECIMAL d{};
    ASSERT_EQ(VarDecFromUI8(UINT64_MAX, &d), S_OK);
    EXPECT_EQ(dec_text(d), "18446744073709551615");
    uint64_t u = 0;
    EXPECT_EQ(VarUI8FromDec(&d, &u), S_OK);
    EXPECT_EQ(u, UINT64_MAX);
    int64_t i = 0;
    EXPECT_EQ(VarI8FromDec(&d, &i), DISP_E_OVERFLOW);
    ASSERT_EQ(VarDecFromI8(INT64_MIN, &d), S_OK);
    EXPECT_EQ(dec_text(d), "-9223372036854775808");
    EXPECT_EQ(VarI8FromDec(&d, &i), S_OK);
    EXPECT_EQ(i, INT64_MIN);
    EXPECT_EQ(VarUI8FromDec(&d, &u), DISP_E_OVERFLOW);
    char c = 0;
    ASSERT_EQ(VarDecFromI4(-128, &d), S_OK);
    EXPECT_EQ(VarI1FromDec(&d, &c), S_OK);
    EXPECT_EQ(c, -128);
    ASSERT_EQ(VarDecFromI4(128, &d), S_OK);
    EXPECT_EQ(VarI1FromDec(&d, &c), DISP_E_OVERFLOW);
    uint16_t w = 0;
    ASSERT_EQ(VarDecFromI4(-1, &d), S_OK);
    EXPECT_EQ(VarUI2FromDec(&d, &w), DISP_E_OVERFLOW);
    d.scale = 29;
    EXPECT_EQ(VarI4FromDec(&d, &i == nullptr ? nullptr : reinterpret_cast<int32_t*>(&w)),
              E_INVALIDARG);
}

TEST(Decimal, FromAndToFloatingPoint) {
    DECIMAL d{};
    ASSERT_EQ(VarDecFromR8(0.1, &d), S_OK);
    EXPECT_EQ(dec_text(d), "0.1");
    ASSERT_EQ(VarDecFromR8(1.0 / 3, &d), S_OK);
    EXPECT_EQ(dec_text(d), "0.333333333333333");
    ASSERT_EQ(VarDecFromR8(-1234567.0, &d), S_OK);
    EXPECT_EQ(dec_text(d), "-1234567");
    ASSERT_EQ(VarDecFromR8(1e20, &d), S_OK);
    EXPECT_EQ(dec_text(d), "100000000000000000000");
    ASSERT_EQ(VarDecFromR4(0.1f, &d), S_OK);
    EXPECT_EQ(dec_text(d), "0.1");
    EXPECT_EQ(VarDecFromR8(1e30, &d), DISP_E_OVERFLOW);
    EXPECT_EQ(VarDecFromR8(std::nan(""), &d), DISP_E_OVERFLOW);
    EXPECT_EQ(VarDecFromR8(INFINITY, &d), DISP_E_OVERFLOW);

    ASSERT_EQ(VarDecFromStr(u"0.1", 1033, 0, &d), S_OK);
    double r8 = 0;
    float r4 = 0;
    EXPECT_EQ(VarR8FromDec(&d, &r8), S_OK);
    EXPECT_EQ(r8, 0.1);
    EXPECT_EQ(VarR4FromDec(&d, &r4), S_OK);
    EXPECT_EQ(r4, 0.1f);
    ASSERT_EQ(VarDecFromStr(u"79228162514264337593543950335", 1033, 0, &d), S_OK);
    EXPECT_EQ(VarR8FromDec(&d, &r8), S_OK);
    EXPECT_EQ(r8, 7.922816251426434e28);
}

TEST(Currency, TextRoundingAndIntegers) {
    struct row {
        const char* text;
        HRESULT hr;
        int64_t value;
        const char* back;
    };
    const row rows[] = {
        {"12.5", S_OK, 125000, "12.5"},
        {"-12.3456", S_OK, -123456, "-12.3456"},
        {"0.00005", S_OK, 0, "0"},
        {"0.00015", S_OK, 2, "0.0002"},
        {"0.000151", S_OK, 2, "0.0002"},
        {"922337203685477.5807", S_OK, INT64_MAX, "922337203685477.5807"},
        {"-922337203685477.5808", S_OK, INT64_MIN, "-922337203685477.5808"},
        {"922337203685477.5808", DISP_E_OVERFLOW, 0, ""},
        {"1,000", S_OK, 10000000, "1000"},
        {"x", DISP_E_TYPEMISMATCH, 0, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        CY cy{};
        ASSERT_EQ(VarCyFromStr(u16(r.text).c_str(), 1033, 0, &cy), r.hr);
        if (r.hr != S_OK) {
            continue;
        }
        EXPECT_EQ(cy.int64, r.value);
        BSTR text = nullptr;
        ASSERT_EQ(VarBstrFromCy(cy, 1033, 0, &text), S_OK);
        EXPECT_EQ(take(text), r.back);
    }
    CY cy{};
    cy.int64 = 25000; // 2.5
    int32_t i4 = 0;
    EXPECT_EQ(VarI4FromCy(cy, &i4), S_OK);
    EXPECT_EQ(i4, 2);
    cy.int64 = -35000;
    int64_t i8 = 0;
    EXPECT_EQ(VarI8FromCy(cy, &i8), S_OK);
    EXPECT_EQ(i8, -4);
    uint64_t u8 = 0;
    EXPECT_EQ(VarUI8FromCy(cy, &u8), DISP_E_OVERFLOW);
    cy.int64 = -4000; // -0.4 rounds to 0
    EXPECT_EQ(VarUI8FromCy(cy, &u8), S_OK);
    EXPECT_EQ(u8, 0u);
    cy.int64 = 125000;
    double r8 = 0;
    EXPECT_EQ(VarR8FromCy(cy, &r8), S_OK);
    EXPECT_EQ(r8, 12.5);
    cy.int64 = INT64_MAX;
    EXPECT_EQ(VarI4FromCy(cy, &i4), DISP_E_OVERFLOW);
    EXPECT_EQ(VarCyFromR8(0.1, &cy), S_OK);
    EXPECT_EQ(cy.int64, 1000);
    EXPECT_EQ(VarCyFromR8(1e300, &cy), DISP_E_OVERFLOW);
    EXPECT_EQ(VarCyFromI8(922337203685477, &cy), S_OK);
    EXPECT_EQ(VarCyFromI8(922337203685478, &cy), DISP_E_OVERFLOW);
}

TEST(FloatingPoint, To64BitIntegersRoundHalfToEven) {
    int64_t i = 0;
    uint64_t u = 0;
    EXPECT_EQ(VarI8FromR8(2.5, &i), S_OK);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(VarI8FromR8(-3.5, &i), S_OK);
    EXPECT_EQ(i, -4);
    EXPECT_EQ(VarI8FromR8(-9223372036854775808.0, &i), S_OK);
    EXPECT_EQ(i, INT64_MIN);
    EXPECT_EQ(VarI8FromR8(9223372036854775808.0, &i), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI8FromR8(std::nan(""), &i), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI8FromR4(1.5f, &i), S_OK);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(VarUI8FromR8(-0.4, &u), S_OK);
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(VarUI8FromR8(-1, &u), DISP_E_OVERFLOW);
    EXPECT_EQ(VarUI8FromR8(18446744073709549568.0, &u), S_OK);
    EXPECT_EQ(u, 18446744073709549568u);
    EXPECT_EQ(VarUI8FromR8(18446744073709551616.0, &u), DISP_E_OVERFLOW);
    EXPECT_EQ(VarUI8FromR4(3.0f, &u), S_OK);
    EXPECT_EQ(u, 3u);
}

TEST(Dates, SystemTimeAndVariantTime) {
    struct row {
        SYSTEMTIME st;
        int ok;
        double date;
    };
    const row rows[] = {
        {{1900, 1, 0, 1, 0, 0, 0, 0}, 1, 2.0},
        {{1899, 12, 0, 30, 0, 0, 0, 0}, 1, 0.0},
        {{1899, 12, 0, 29, 6, 0, 0, 0}, 1, -1.25},
        {{1900, 1, 0, 2, 6, 0, 0, 0}, 1, 3.25},
        {{100, 1, 0, 1, 0, 0, 0, 0}, 1, -657434.0},
        {{2001, 2, 0, 29, 0, 0, 0, 0}, 1, 36951.0}, // = 2001-03-01
        {{99, 12, 0, 31, 0, 0, 0, 0}, 0, 0},
        {{2020, 0, 0, 1, 0, 0, 0, 0}, 0, 0},
        {{0, 0, 0, 0, 10, 20, 0, 0}, 0, 0},
        {{2020, 13, 0, 1, 0, 0, 0, 0}, 0, 0},
        {{2020, 1, 0, 32, 0, 0, 0, 0}, 0, 0},
        {{10000, 1, 0, 1, 0, 0, 0, 0}, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.st.wYear << "-" << r.st.wMonth << "-" << r.st.wDay);
        DATE date = 0;
        ASSERT_EQ(SystemTimeToVariantTime(&r.st, &date), r.ok);
        if (r.ok) {
            EXPECT_DOUBLE_EQ(date, r.date);
        }
    }
    // Every 37th day from the first to the last, with a time of day, round-trips.
    SYSTEMTIME first{100, 1, 0, 1, 0, 0, 0, 0};
    DATE start = 0, end = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&first, &start));
    SYSTEMTIME last{9999, 12, 0, 31, 23, 59, 59, 0};
    ASSERT_TRUE(SystemTimeToVariantTime(&last, &end));
    for (double day = start; day <= end; day += 37) {
        SYSTEMTIME st{};
        ASSERT_TRUE(VariantTimeToSystemTime(day, &st));
        st.wHour = 13;
        st.wMinute = 7;
        st.wSecond = 59;
        DATE again = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &again));
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(again, &back));
        ASSERT_EQ(std::memcmp(&st, &back, sizeof st), 0) << st.wYear << "-" << st.wMonth;
    }
    SYSTEMTIME st{};
    EXPECT_TRUE(VariantTimeToSystemTime(end, &st));
    EXPECT_EQ(st.wSecond, 59);
    EXPECT_EQ(st.wYear, 9999);
    EXPECT_FALSE(VariantTimeToSystemTime(end + 1, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(std::nan(""), &st));
    EXPECT_TRUE(VariantTimeToSystemTime(2.5, &st));
    EXPECT_EQ(st.wDayOfWeek, 1); // 1900-01-01 was a Monday
    EXPECT_EQ(st.wHour, 12);
}

TEST(Dates, FromAndToText) {
    struct row {
        const char* text;
        HRESULT hr;
        const char* back;
    };
    const row rows[] = {
        {"2020-01-02 10:20:30", S_OK, "1/2/2020 10:20:30 AM"},
        {"1/2/2020", S_OK, "1/2/2020"},
        {"Jan  1 2000 12:00", S_OK, "1/1/2000 12:00:00 PM"},
        {"Jan  1 2000 12:00AM", S_OK, "1/1/2000"},
        {"December 31, 9999 11:59:59 PM", S_OK, "12/31/9999 11:59:59 PM"},
        {"10:20 PM", S_OK, "10:20:00 PM"},
        {"1/2/99", S_OK, "1/2/1999"},
        {"2/30/2020", DISP_E_TYPEMISMATCH, ""},
        {"hello", DISP_E_TYPEMISMATCH, ""},
        {"25:00", DISP_E_TYPEMISMATCH, ""},
        {"", DISP_E_TYPEMISMATCH, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        DATE date = 0;
        ASSERT_EQ(VarDateFromStr(u16(r.text).c_str(), 1033, 0, &date), r.hr);
        if (r.hr != S_OK) {
            continue;
        }
        BSTR text = nullptr;
        ASSERT_EQ(VarBstrFromDate(date, 1033, 0, &text), S_OK);
        EXPECT_EQ(take(text), r.back);
    }
}

TEST(ChangeType, PairsOfTypeCodes) {
    struct row {
        VARTYPE from;
        const char* value; // set through a BSTR conversion for the numeric sources
        VARTYPE to;
        HRESULT hr;
        const char* text; // the result converted to text
    };
    const row rows[] = {
        {VT_I4, "123", VT_BSTR, S_OK, "123"},
        {VT_I4, "-2147483648", VT_R8, S_OK, "-2147483648"},
        {VT_BOOL, "-1", VT_BSTR, S_OK, "-1"},
        {VT_BOOL, "0", VT_I4, S_OK, "0"},
        {VT_R8, "0.1", VT_BSTR, S_OK, "0.1"},
        {VT_R8, "1e20", VT_BSTR, S_OK, "1E+20"},
        {VT_R8, "0.00001", VT_BSTR, S_OK, "1E-05"},
        {VT_R8, "123456789012345678", VT_BSTR, S_OK, "1.23456789012346E+17"},
        {VT_R8, "2.5", VT_I4, S_OK, "2"},
        {VT_R8, "2.5", VT_DECIMAL, S_OK, "2.5"},
        {VT_R8, "1e300", VT_R4, DISP_E_OVERFLOW, ""},
        {VT_R4, "16777215", VT_BSTR, S_OK, "1.677722E+07"},
        {VT_BSTR, "12.5", VT_R8, S_OK, "12.5"},
        {VT_BSTR, "300", VT_UI1, DISP_E_OVERFLOW, ""},
        {VT_BSTR, "255", VT_UI1, S_OK, "255"},
        {VT_BSTR, "-1", VT_UI4, DISP_E_OVERFLOW, ""},
        {VT_BSTR, "abc", VT_R8, DISP_E_TYPEMISMATCH, ""},
        {VT_BSTR, "True", VT_BOOL, S_OK, "-1"},
        {VT_BSTR, "12345678901234567890", VT_DECIMAL, S_OK, "12345678901234567890"},
        {VT_BSTR, "9223372036854775807", VT_I8, S_OK, "9223372036854775807"},
        {VT_BSTR, "9223372036854775808", VT_I8, DISP_E_OVERFLOW, ""},
        {VT_BSTR, "18446744073709551615", VT_UI8, S_OK, "18446744073709551615"},
        {VT_BSTR, "1/2/2020", VT_DATE, S_OK, "1/2/2020"},
        {VT_CY, "12.5", VT_BSTR, S_OK, "12.5"},
        {VT_CY, "12.5", VT_I2, S_OK, "12"},
        {VT_DECIMAL, "-0.5", VT_I4, S_OK, "0"},
        {VT_DECIMAL, "1.5", VT_CY, S_OK, "1.5"},
        {VT_DECIMAL, "1.00001", VT_R4, S_OK, "1.00001"},
        {VT_I2, "-32768", VT_UI2, DISP_E_OVERFLOW, ""},
        {VT_UI1, "200", VT_I1, DISP_E_OVERFLOW, ""},
        {VT_I4, "5", VT_CY, S_OK, "5"},
        {VT_I4, "5", VT_DECIMAL, S_OK, "5"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.from << " " << r.value << " -> " << r.to);
        variant_holder v;
        v.v.vt = VT_BSTR;
        v.v.bstrVal = SysAllocString(u16(r.value).c_str());
        ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, r.from), S_OK);
        ASSERT_EQ(v.v.vt, r.from);
        ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, r.to), r.hr);
        if (r.hr != S_OK) {
            EXPECT_EQ(v.v.vt, r.from) << "a failed conversion leaves the value";
            continue;
        }
        ASSERT_EQ(v.v.vt, r.to);
        ASSERT_EQ(VariantChangeType(&v.v, &v.v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(ascii(v.v.bstrVal), r.text);
    }
}

TEST(ChangeType, NullEmptyAndUnsupported) {
    variant_holder v, out;
    v.v.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_NULL), S_OK);
    v.v.vt = VT_EMPTY;
    EXPECT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(SysStringLen(out.v.bstrVal), 0u);
    EXPECT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_I4), S_OK);
    EXPECT_EQ(out.v.lVal, 0);
    v.v.vt = VT_ARRAY | VT_UI1;
    v.v.parray = SafeArrayCreateVector(VT_UI1, 0, 1);
    EXPECT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out.v, &v.v, 0, VT_BLOB_OBJECT), DISP_E_TYPEMISMATCH);
}
