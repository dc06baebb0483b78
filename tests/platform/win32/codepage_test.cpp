// Code-page conversions: UTF-8, the ANSI code page of the locale and a code page set by a test.
#include "platform/win32/codepage.h"

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <locale.h>
#include <string>

namespace {

using namespace std::string_literals;

// Every test starts from the locale's own ANSI code page and leaves it so.
class CodePage : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(win32::set_ansi_code_page(CP_ACP)); }
    void TearDown() override {
        win32::set_ansi_code_page(CP_ACP);
        uselocale(LC_GLOBAL_LOCALE);
        if (cp1252_ != nullptr) {
            freelocale(cp1252_);
        }
    }

    // Switches this thread to a locale whose codeset is CP1252 (made by tools/setup.sh).
    void use_cp1252_locale() {
        cp1252_ = newlocale(LC_CTYPE_MASK, "en_US.CP1252", nullptr);
        ASSERT_NE(cp1252_, nullptr) << "locale en_US.CP1252 missing: run tools/setup.sh";
        uselocale(cp1252_);
    }

    static std::wstring widen(UINT code_page, const std::string& text, DWORD flags = 0) {
        int n = MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()),
                                    static_cast<wchar_t*>(nullptr), 0);
        std::wstring out(static_cast<std::size_t>(n), L'\0');
        if (n > 0) {
            EXPECT_EQ(MultiByteToWideChar(code_page, flags, text.data(),
                                          static_cast<int>(text.size()), out.data(), n),
                      n);
        }
        return out;
    }

    static std::string narrow(UINT code_page, const std::wstring& text, BOOL* used = nullptr) {
        int n = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<std::size_t>(n), '\0');
        if (n > 0) {
            EXPECT_EQ(WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                          out.data(), n, nullptr, used),
                      n);
        }
        return out;
    }

private:
    locale_t cp1252_ = nullptr;
};

TEST_F(CodePage, TheCLocaleCountsAsUtf8) {
    // The tests run without setlocale, in the C locale.
    EXPECT_EQ(GetACP(), CP_UTF8);
    EXPECT_EQ(narrow(CP_ACP, L"\u4e2d\U0001F600"), "\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(widen(CP_ACP, "\xC3\xA9"), L"\u00e9");
}

TEST_F(CodePage, TheLocaleCodesetIsTheAnsiCodePage) {
    use_cp1252_locale();
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(narrow(CP_ACP, L"\u20ac\u00e9"), "\x80\xE9");
    EXPECT_EQ(widen(CP_ACP, "\x80\xE9"), L"\u20ac\u00e9");
    // UTF-8 stays UTF-8 whatever the locale.
    EXPECT_EQ(narrow(CP_UTF8, L"\u20ac"), "\xE2\x82\xAC");
}

TEST_F(CodePage, AnOverrideWinsOverTheLocale) {
    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(narrow(CP_ACP, L"\u00e9"), "\xE9");
    EXPECT_FALSE(win32::set_ansi_code_page(4242)); // unknown: refused, the override stays
    EXPECT_EQ(GetACP(), 1252u);
    ASSERT_TRUE(win32::set_ansi_code_page(CP_ACP));
    EXPECT_EQ(GetACP(), CP_UTF8);
}

TEST_F(CodePage, UnmappableCharactersBecomeTheDefaultCharacter) {
    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    BOOL used = FALSE;
    EXPECT_EQ(narrow(CP_ACP, L"a\u4e2d\U0001F600b", &used), "a??b");
    EXPECT_TRUE(used);
    used = TRUE;
    EXPECT_EQ(narrow(CP_ACP, L"plain", &used), "plain");
    EXPECT_FALSE(used);

    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"x\u4e2d", -1, out, sizeof out, "#", nullptr), 3);
    EXPECT_STREQ(out, "x#");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, L"x\u4e2d", -1, out, sizeof out,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST_F(CodePage, UndecodableBytesBecomeTheReplacementCharacter) {
    EXPECT_EQ(widen(CP_UTF8, "a\xFF"
                             "b"),
              L"a\uFFFDb");
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2,
                                  static_cast<wchar_t*>(nullptr), 0),
              0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    // 0x81 has no character in CP1252.
    EXPECT_EQ(widen(1252, "a\x81"
                          "b"),
              L"a\uFFFDb");
}

TEST_F(CodePage, Utf16FormsCountUnits) {
    std::string utf8 = "\xF0\x9F\x98\x80"
                       "a";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), -1, static_cast<LPWSTR>(nullptr), 0),
              4); // a surrogate pair, "a" and the NUL
    char16_t units[4];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), -1, units, 4), 4);
    EXPECT_EQ(std::u16string(units, 3), u"\U0001F600a");

    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    char out[8] = {};
    EXPECT_EQ(
        WideCharToMultiByte(CP_ACP, 0, u"\u20ac\U0001F600", -1, out, sizeof out, nullptr, nullptr),
        3);
    EXPECT_STREQ(out, "\x80?");
    char16_t wide[4] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80", -1, wide, 4), 2);
    EXPECT_EQ(wide[0], u'\u20ac');
}

TEST_F(CodePage, ConvertsWithTheTerminatorWhenTheLengthIsMinusOne) {
    wchar_t out[4];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", -1, out, 4), 3);
    EXPECT_EQ(out[2], L'\0');
    char narrow_out[4];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"ab", -1, narrow_out, 4, nullptr, nullptr), 3);
    EXPECT_STREQ(narrow_out, "ab");
}

TEST_F(CodePage, FailsCleanlyOnBadArgumentsAndShortBuffers) {
    wchar_t out[2];
    char narrow_out[2];
    wchar_t* no_wide = nullptr;
    const wchar_t* no_wide_source = nullptr;
    struct failure_case {
        const char* label;
        std::function<int()> call;
        DWORD error;
    };
    const failure_case cases[] = {
        {"null source", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, out, 2); },
         ERROR_INVALID_PARAMETER},
        {"zero length", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, out, 2); },
         ERROR_INVALID_PARAMETER},
        {"null buffer with a size",
         [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, no_wide, 2); },
         ERROR_INVALID_PARAMETER},
        {"unknown code page", [&] { return MultiByteToWideChar(4242, 0, "a", 1, out, 2); },
         ERROR_INVALID_PARAMETER},
        {"unknown flag", [&] { return MultiByteToWideChar(CP_UTF8, 0x4000, "a", 1, out, 2); },
         ERROR_INVALID_FLAGS},
        {"short wide buffer", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 2); },
         ERROR_INSUFFICIENT_BUFFER},
        {"short wide buffer, iconv",
         [&] { return MultiByteToWideChar(1252, 0, "abc", -1, out, 2); },
         ERROR_INSUFFICIENT_BUFFER},
        {"short narrow buffer",
         [&] {
             return WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", 1, narrow_out, 1, nullptr, nullptr);
         },
         ERROR_INSUFFICIENT_BUFFER},
        {"short narrow buffer, iconv",
         [&] { return WideCharToMultiByte(1252, 0, L"abc", 3, narrow_out, 2, nullptr, nullptr); },
         ERROR_INSUFFICIENT_BUFFER},
        {"null wide source",
         [&] {
             return WideCharToMultiByte(CP_UTF8, 0, no_wide_source, -1, narrow_out, 2, nullptr,
                                        nullptr);
         },
         ERROR_INVALID_PARAMETER},
        {"unknown code page, narrow",
         [&] { return WideCharToMultiByte(4242, 0, L"a", 1, narrow_out, 2, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(CodePage, WorstCaseBuffersHoldEveryText) {
    EXPECT_GE(win32::max_bytes_per_char(CP_UTF8), 4);
    EXPECT_GE(win32::max_bytes_per_utf16_unit(CP_UTF8), 3);
    std::wstring emoji(100, L'\U0001F600');
    std::string out(emoji.size() * static_cast<std::size_t>(win32::max_bytes_per_char(CP_ACP)),
                    '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, emoji.data(), static_cast<int>(emoji.size()),
                                  out.data(), static_cast<int>(out.size()), nullptr, nullptr),
              400);
}

} // namespace
