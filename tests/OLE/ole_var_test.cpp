// Tests of the value type: storage, copying and moving, bytes and slices.
#include "OLE/ole_var.h"

#include "TK/tk_utils.h"
#include "platform/win32/codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> pattern_bytes(std::size_t n) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 131 + i / 256) & 0xFF);
    }
    bytes[0] = 0;
    bytes[n / 2] = 0;
    bytes[n - 1] = 0;
    return bytes;
}

// Every kind of value the system stores, for the copy and move tests.
std::vector<ole_variant> sample_values() {
    std::vector<ole_variant> values;
    values.emplace_back();
    values.emplace_back(std::wstring(L"text\0with nul", 13));
    values.emplace_back(pattern_bytes(300));
    values.emplace_back(ole_date("2020-01-02 10:20:30.123456"));
    values.emplace_back(2.5);
    values.emplace_back(true);
    values.push_back(ole_variant::from_string("18446744073709551615", VT_UI8));
    values.push_back(ole_variant::from_string("-9223372036854775808", VT_I8));
    values.push_back(
        ole_variant::from_string("12345678901234567890123456789012345678", VT_DECIMAL));
    values.push_back(ole_variant::from_string("1.5", VT_DECIMAL));
    values.push_back(ole_variant::from_string("12.5", VT_CY));
    values.push_back(ole_variant::from_string("00ff", VT_BLOB));
    return values;
}

} // namespace

TEST(OleVariant, ConstructorsGiveTheirTypes) {
    EXPECT_EQ(ole_variant().get_type(), VT_EMPTY);
    EXPECT_EQ(ole_variant(std::vector<uint8_t>{}).get_type(), VT_EMPTY);
    // Zero bytes from a buffer are a zero-length value, kept apart from "no value".
    const ole_variant no_bytes(0u, nullptr);
    EXPECT_EQ(no_bytes.get_type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(ole_variant::get_safe_array_size(no_bytes.var.parray), 0u);
    EXPECT_EQ(ole_variant(no_bytes).get_type(), VT_ARRAY | VT_UI1) << "a copy stays a value";
    EXPECT_THROW(ole_variant(5u, nullptr), tk_mail_assertion);
    const uint8_t raw[] = {1, 0, 2};
    const ole_variant bytes(3u, raw);
    EXPECT_EQ(bytes.get_type(), VT_ARRAY | VT_UI1);
    EXPECT_EQ(bytes.to_string(), "0x010002");

    const ole_variant wide(std::wstring(L"ab\0cd", 5));
    EXPECT_EQ(wide.get_type(), VT_BSTR);
    EXPECT_EQ(SysStringLen(wide.var.bstrVal), 5u);
    const ole_variant from_bstr(wide.var.bstrVal);
    EXPECT_EQ(SysStringLen(from_bstr.var.bstrVal), 2u) << "a BSTR pointer is read to its NUL";

    const ole_variant yes(true);
    EXPECT_EQ(yes.var.boolVal, -1);
    EXPECT_EQ(ole_variant(false).var.boolVal, 0);
    EXPECT_EQ(ole_variant(2.5).get_type(), VT_R8);

    const ole_variant date(SYSTEMTIME{2020, 1, 0, 2, 0, 0, 0, 0});
    EXPECT_EQ(date.get_type(), VT_DATE);
    EXPECT_EQ(date.date.kind, ole_date::kind_date);
    SYSTEMTIME st{};
    date.get_date(&st);
    EXPECT_EQ(st.wYear, 2020);
    ole_variant(2.5).get_date(&st);
    EXPECT_EQ(st.wYear, 0);
    EXPECT_EQ(st.wDay, 0);
}

TEST(OleVariant, CopiesKeepEveryPartOfTheValue) {
    const ole_variant big = ole_variant::from_string("18446744073709551615", VT_UI8);
    const ole_variant copy(big);
    EXPECT_EQ(copy.uhyper, 18446744073709551615u);
    EXPECT_EQ(copy.hyper, 0);

    const ole_variant date = ole_variant::from_string("2020-01-02 10:20:30.123456", VT_DATE);
    ole_variant other;
    other = date;
    EXPECT_EQ(other.date.microseconds, 123456u);
    EXPECT_EQ(other.date.kind, ole_date::kind_date_time);
    EXPECT_EQ(other.to_string(), "2020-01-02 10:20:30.123456");
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(other.var.date, &st));
    EXPECT_EQ(st.wHour, 10);
    EXPECT_EQ(st.wSecond, 30);
}

// Copy, assignment, clear and move of every kind of value, in every order: the sanitizer build
// shows any leak or double free.
TEST(OleVariant, CopyAssignMoveAndClearNeverLeak) {
    const std::vector<ole_variant> values = sample_values();
    for (const ole_variant& a : values) {
        for (const ole_variant& b : values) {
            ole_variant x(a);
            EXPECT_EQ(x.to_string(), a.to_string());
            x = b;
            EXPECT_EQ(x.to_string(), b.to_string());
            x = x;
            EXPECT_EQ(x.to_string(), b.to_string());
            ole_variant moved(std::move(x));
            EXPECT_EQ(moved.to_string(), b.to_string());
            EXPECT_EQ(x.get_type(), VT_EMPTY);
            x = std::move(moved);
            EXPECT_EQ(x.to_string(), b.to_string());
            x = std::move(x);
            ole_variant y(a);
            y = std::move(x);
            EXPECT_EQ(y.to_string(), b.to_string());
            y.clear();
            EXPECT_EQ(y.get_type(), VT_EMPTY);
            y = a;
            y.attach_wstring(L"new");
            y = std::vector<uint8_t>{1, 2};
            y = u"bstr";
            y.attach_string("utf-8 \xC3\xA9");
            EXPECT_EQ(y.to_string(), "utf-8 \xC3\xA9");
        }
    }
    std::vector<ole_variant> grown;
    for (int i = 0; i < 100; ++i) {
        grown.push_back(values[static_cast<std::size_t>(i) % values.size()]);
    }
    EXPECT_EQ(grown[1].to_wstring(), std::wstring(L"text\0with nul", 13));
}

TEST(OleVariant, ByteArraysRoundTripExactly) {
    for (std::size_t size :
         {std::size_t(1), std::size_t(2), std::size_t(255), std::size_t(1024 * 1024 + 7)}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> bytes = pattern_bytes(size);
        const ole_variant value(bytes);
        const std::string hex = value.to_string();
        ASSERT_EQ(hex.size(), 2 + 2 * size);
        const ole_variant back = ole_variant::from_string(hex, VT_ARRAY | VT_UI1);
        uint8_t* data = nullptr;
        ASSERT_EQ(back.get_bytes(&data), size);
        EXPECT_EQ(std::memcmp(data, bytes.data(), size), 0);
        const ole_variant wide_back =
            ole_variant::from_wstring(back.to_wstring(), VT_ARRAY | VT_UI1);
        ASSERT_EQ(wide_back.get_bytes(&data), size);
        EXPECT_EQ(std::memcmp(data, bytes.data(), size), 0);
        std::vector<uint8_t> copy;
        ole_variant::convert_to_byte_array(data, static_cast<unsigned>(size), copy);
        EXPECT_EQ(copy, bytes);

        // In slices as the script writer takes them.
        std::string sliced;
        std::vector<char> buffer(2 * 0x20000 + 1);
        unsigned pos = 0;
        for (int n; (n = value.get_at(buffer.data(), pos, 0x20000)) > 0; pos += n) {
            sliced += buffer.data();
        }
        EXPECT_EQ("0x" + sliced, hex);
    }
}

TEST(OleVariant, ByteArraysAreNotCutAtAHundredAndTwentyMillionBytes) {
    const unsigned size = 120000000u + 10u;
    ole_variant value;
    value.allocate_safe_array(size);
    static_cast<uint8_t*>(value.var.parray->pvData)[size - 1] = 0xAB;
    uint8_t* data = nullptr;
    EXPECT_EQ(value.get_bytes(&data), size);
    char buffer[64];
    EXPECT_EQ(value.get_at(buffer, 120000000u, 16), 10);
    EXPECT_STREQ(buffer, "000000000000000000AB");
}

TEST(OleVariant, RelabelledByteArraysAreCopiedAndFreedAsArrays) {
    ole_variant value = ole_variant::from_string("0102", VT_ARRAY | VT_UI1);
    value.change_type(VT_DISPATCH);
    EXPECT_EQ(value.get_type(), VT_DISPATCH);
    ole_variant copy(value);
    EXPECT_NE(copy.var.parray, value.var.parray);
    copy = value;
    copy.change_type(VT_ARRAY | VT_UI1);
    EXPECT_EQ(copy.to_string(), "0x0102");
    value = ole_variant(2.5);
    EXPECT_EQ(value.get_type(), VT_R8);
}

TEST(OleVariant, AllocateSafeArrayResizesInPlace) {
    ole_variant value = ole_variant::from_string("0102", VT_BLOB);
    ASSERT_EQ(value.get_type(), VT_BLOB);
    value.allocate_safe_array(4);
    EXPECT_EQ(value.get_type(), VT_BLOB) << "a resize keeps the type code";
    EXPECT_EQ(value.to_string(), "0x01020000");
    ole_variant empty_array;
    empty_array.allocate_safe_array(0);
    uint8_t* data = nullptr;
    EXPECT_EQ(empty_array.get_bytes(&data), 0u);
    EXPECT_EQ(empty_array.to_string(), "");
    EXPECT_THROW(empty_array.allocate_safe_array(3), tk_mail_assertion);
}

TEST(OleVariant, GetBytesAndSlicesOfText) {
    ole_variant null_value = ole_variant::from_string("x", VT_NULL);
    uint8_t* data = nullptr;
    EXPECT_EQ(null_value.get_bytes(&data), 0u);
    EXPECT_THROW(ole_variant(2.5).get_bytes(&data), tk_mail_assertion);

    const ole_variant five = ole_variant::from_string("0102030405", VT_ARRAY | VT_UI1);
    char buffer[2 * 0x20000 + 1];
    EXPECT_EQ(five.get_at(buffer, 0, 0x20000), 5);
    EXPECT_STREQ(buffer, "0102030405");
    EXPECT_EQ(five.get_at(buffer, 5, 0x20000), 0);
    EXPECT_EQ(ole_variant(2.5).get_at(buffer, 0, 10), 0);

    const ole_variant text(std::wstring(L"abc"));
    EXPECT_EQ(text.get_at(buffer, 3, 10), 0);
    EXPECT_EQ(text.get_at(buffer, 1, 10), 2);
    EXPECT_STREQ(buffer, "bc");
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC";
    const ole_variant accented(tk_utf8_to_wstring(utf8));
    ASSERT_EQ(accented.get_bytes(&data), utf8.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data)), utf8);
    delete[] data;
}

// Long text is cut by its UTF-8 bytes: whatever the characters and the slice length, the
// slices put together are the whole text, NULs included, each byte once.
TEST(OleVariant, TextSlicesCoverEveryByteOnce) {
    std::u16string piece = u"abc\u00e9\u0416\u20ac\u4e2d";
    piece += u'\0';
    piece += u"\U0001F600z";
    std::u16string text;
    while (text.size() < 300000) {
        text += piece;
    }
    const ole_variant value(text);
    const std::string expected = tk_utf16_to_utf8(text);
    EXPECT_EQ(value.to_string(), expected);
    for (unsigned slice : {1u, 2u, 3u, 5u, 7u, 0x20000u}) {
        SCOPED_TRACE(slice);
        std::vector<char> buffer(slice + 1);
        std::string joined;
        unsigned pos = 0;
        int n = 0;
        while ((n = value.get_at(buffer.data(), pos, slice)) > 0) {
            ASSERT_LE(static_cast<unsigned>(n), slice);
            joined.append(buffer.data(), static_cast<std::size_t>(n));
            pos += static_cast<unsigned>(n);
        }
        EXPECT_EQ(joined.size(), expected.size());
        EXPECT_TRUE(joined == expected);
        // A slice asked for out of order is right too.
        ASSERT_EQ(value.get_at(buffer.data(), 4, 1), 1);
        EXPECT_EQ(buffer[0], expected[4]);
    }
}

// Text keeps its NUL characters and reaches narrow text as UTF-8 whatever the ANSI code page.
TEST(OleVariant, TextKeepsNulsAndIsAlwaysUtf8) {
    const std::wstring text(L"a\0\u0416\u20ac\U0001F600", 5);
    const ole_variant value(text);
    EXPECT_EQ(value.to_wstring(), text);
    const std::string utf8("a\0\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80", 11);
    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    EXPECT_EQ(value.to_string(), utf8);
    ole_variant bytes(value);
    bytes.change_type(VT_ARRAY | VT_UI1);
    uint8_t* data = nullptr;
    ASSERT_EQ(bytes.get_bytes(&data), utf8.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), utf8.size()), utf8);
    bytes.change_type(VT_BSTR);
    EXPECT_EQ(bytes.to_wstring(), text);
    const ole_variant read = ole_variant::from_wstring(text, VT_BSTR);
    EXPECT_EQ(read.to_wstring(), text);
    win32::set_ansi_code_page(0);
}

TEST(OleVariant, TypeSets) {
    for (VARTYPE vt : {2, 3, 4, 5, 6, 11, 14, 16, 17, 18, 19, 20, 21, 22, 23}) {
        EXPECT_TRUE(ole_variant::is_numeric(vt)) << vt;
    }
    for (VARTYPE vt : {0, 1, 7, 8, 9, 10, 12, 13, 15, 24, 65, 8209}) {
        EXPECT_FALSE(ole_variant::is_numeric(vt)) << vt;
    }
    EXPECT_TRUE(ole_variant::is_date_or_string(VT_DATE));
    EXPECT_TRUE(ole_variant::is_date_or_string(VT_BSTR));
    EXPECT_FALSE(ole_variant::is_date_or_string(VT_I4));
    EXPECT_EQ(ole_variant::get_safe_array_size(nullptr), 0u);
}
