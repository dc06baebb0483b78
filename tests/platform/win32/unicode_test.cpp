// Direct conversions between UTF-32, UTF-16 and UTF-8.
#include "platform/win32/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

struct round_trip_case {
    const char* label;
    std::wstring wide;
    std::u16string utf16;
    std::string utf8;
};

TEST(Unicode, ConvertsEveryFormIntoEveryOther) {
    const round_trip_case cases[] = {
        {"empty", L"", u"", ""},
        {"ascii", L"abc", u"abc", "abc"},
        {"two bytes", L"\u00e9\u00df", u"\u00e9\u00df", "\xC3\xA9\xC3\x9F"},
        {"three bytes", L"\u4e2d\uffff", u"\u4e2d\uffff", "\xE4\xB8\xAD\xEF\xBF\xBF"},
        {"beyond the BMP", L"\U0001F600\U0010FFFF", u"\U0001F600\U0010FFFF",
         "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {"embedded NUL", L"a\0b"s, u"a\0b"s, "a\0b"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(win32::to_utf8(c.wide), c.utf8);
        EXPECT_EQ(win32::to_utf8(c.utf16), c.utf8);
        EXPECT_EQ(win32::to_utf16(c.wide), c.utf16);
        EXPECT_EQ(win32::to_utf16(std::string_view(c.utf8)), c.utf16);
        EXPECT_EQ(win32::to_wide(c.utf16), c.wide);
        EXPECT_EQ(win32::to_wide(std::string_view(c.utf8)), c.wide);
        EXPECT_EQ(win32::utf8_length(c.wide), c.utf8.size());
        EXPECT_EQ(win32::utf8_length(c.utf16), c.utf8.size());
        EXPECT_EQ(win32::utf16_length(c.wide), c.utf16.size());
    }
}

TEST(Unicode, ReplacesEachMaximalInvalidSubpartOfUtf8) {
    struct bad_case {
        const char* label;
        std::string utf8;
        std::wstring wide;
    };
    const bad_case cases[] = {
        {"stray continuation", "a\x80z", L"a\uFFFDz"},
        {"lead without continuation", "a\xC3z", L"a\uFFFDz"},
        {"cut three-byte sequence", "\xE4\xB8z", L"\uFFFDz"},
        {"cut at the end", "a\xF0\x9F\x98", L"a\uFFFD"},
        {"overlong", "\xC0\xAF", L"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"invalid lead bytes", "\xFE\xFF", L"\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(win32::to_wide(std::string_view(c.utf8)), c.wide);
        EXPECT_FALSE(win32::is_valid_utf8(c.utf8));
    }
    EXPECT_TRUE(win32::is_valid_utf8("\xEF\xBF\xBD ok"));
}

TEST(Unicode, ReplacesUnpairedSurrogatesAndValuesBeyondUnicode) {
    std::u16string lone_high = u"a"s + char16_t(0xD83D) + u"b";
    std::u16string lone_low = char16_t(0xDE00) + u""s;
    std::u16string high_at_end = u"x"s + char16_t(0xD800);
    EXPECT_EQ(win32::to_utf8(lone_high), "a\xEF\xBF\xBD"
                                         "b");
    EXPECT_EQ(win32::to_utf8(lone_low), "\xEF\xBF\xBD");
    EXPECT_EQ(win32::to_wide(high_at_end), L"x\uFFFD");
    EXPECT_EQ(win32::utf8_length(lone_high), 5u);
    EXPECT_FALSE(win32::is_valid_unicode(lone_high));
    EXPECT_TRUE(win32::is_valid_unicode(u"\U0001F600"s));

    std::wstring out_of_range = L"a"s + wchar_t(0x110000) + wchar_t(0xD800) + L"b";
    EXPECT_EQ(win32::to_utf8(out_of_range), "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                            "b");
    EXPECT_EQ(win32::to_utf16(out_of_range), u"a\uFFFD\uFFFDb");
    EXPECT_FALSE(win32::is_valid_unicode(out_of_range));
}

// A UTF-32 character needs up to four UTF-8 bytes and a UTF-16 unit up to three; buffers of
// those sizes hold the worst texts exactly.
TEST(Unicode, WorstCaseSizesHoldTheLongestTexts) {
    std::wstring emoji(1000, L'\U0001F600');
    EXPECT_EQ(win32::utf8_length(emoji), win32::utf8_max_from_utf32(emoji.size()));

    std::u16string cjk(1000, u'\u4e2d');
    EXPECT_EQ(win32::utf8_length(cjk), win32::utf8_max_from_utf16(cjk.size()));
    std::string buffer(win32::utf8_max_from_utf16(cjk.size()), '\0');
    EXPECT_EQ(win32::write_utf8(buffer.data(), cjk), buffer.size());
    EXPECT_EQ(win32::to_wide(std::string_view(buffer)), std::wstring(1000, L'\u4e2d'));
}

TEST(Unicode, AppendingKeepsWhatTheBufferHeld) {
    std::string statement = "INSERT INTO t VALUES ('";
    win32::append_utf8(statement, u"\u00e9t\u00e9"s);
    statement += "')";
    EXPECT_EQ(statement, "INSERT INTO t VALUES ('\xC3\xA9t\xC3\xA9')");
}

} // namespace
