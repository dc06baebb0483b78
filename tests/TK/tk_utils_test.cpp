// Text conversions, string utilities, the program's path and the file tests.
#include "TK/tk_utils.h"

#include "TK/tk_excep.h"
#include "platform/win32/codepage.h"
#include "platform/win32/file.h"
#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// Leaves the ANSI code page as the locale gives it (UTF-8 in the tests' C locale).
class TkConversion : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(win32::set_ansi_code_page(CP_ACP)); }
    void TearDown() override { win32::set_ansi_code_page(CP_ACP); }
    static void use_cp1252() { ASSERT_TRUE(win32::set_ansi_code_page(1252)); }
};

// ---- Conversions that throw --------------------------------------------------------------------

TEST_F(TkConversion, WideTextRoundTripsThroughUtf8AndTheAnsiCodePage) {
    const std::wstring texts[] = {L"", L"plain", L"\u00e9t\u00e9 \u4e2d\u6587",
                                  L"\U0001F600 \U00010348"};
    for (const auto& text : texts) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(tk_utf8_to_wstring(tk_to_utf8(text)), text);
        EXPECT_EQ(tk_to_wstring(tk_to_string(text, -1)), text);
    }
    EXPECT_EQ(tk_to_utf8(L"\u00e9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
}

// Buffers of 3n+3 bytes hold at most n+1 characters of four bytes: ten emoji need 40.
TEST_F(TkConversion, TextOfFourByteCharactersIsNeverCutOrRefused) {
    std::wstring emoji(10, L'\U0001F600');
    std::string utf8 = tk_to_utf8(emoji);
    EXPECT_EQ(utf8.size(), 40u);
    EXPECT_EQ(tk_utf8_to_wstring(utf8), emoji);
    EXPECT_EQ(tk_to_string(emoji, -1), utf8);
    EXPECT_EQ(tk_to_string(emoji, CP_UTF8), utf8);
    std::wstring long_text(100000, L'\U00010348');
    EXPECT_EQ(tk_to_utf8(long_text).size(), 400000u);
}

TEST_F(TkConversion, ResultsEndAtTheFirstNul) {
    EXPECT_EQ(tk_to_utf8(L"ab\0cd"s), "ab");
    EXPECT_EQ(tk_to_string(L"ab\0cd"s, -1), "ab");
    EXPECT_EQ(tk_utf8_to_wstring("ab\0cd"s), L"ab");
    EXPECT_EQ(tk_to_wstring("ab\0cd"s), L"ab");
}

TEST_F(TkConversion, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(tk_utf8_to_wstring("a\xFF"
                                 "b\xC3"),
              L"a\uFFFDb\uFFFD");
    EXPECT_EQ(tk_to_wstring("\xE4\xB8"), L"\uFFFD");
}

TEST_F(TkConversion, ASingleByteAnsiCodePageLosesWhatItLacks) {
    use_cp1252();
    EXPECT_EQ(tk_to_string(L"\u20ac \u00e9 \u4e2d", -1), "\x80 \xE9 ?");
    EXPECT_EQ(tk_to_wstring("\x80\xE9"), L"\u20ac\u00e9");
    // UTF-8 is untouched by the ANSI code page.
    EXPECT_EQ(tk_to_utf8(L"\u4e2d"), "\xE4\xB8\xAD");
    EXPECT_EQ(tk_to_string(L"\u4e2d", CP_UTF8), "\xE4\xB8\xAD");
}

TEST_F(TkConversion, AnUnknownCodePageThrowsWithTheSystemError) {
    for (int code_page : {4242, -2}) {
        SCOPED_TRACE(code_page);
        try {
            tk_to_string(L"x", code_page);
            ADD_FAILURE() << "no exception";
        } catch (const tk_exception_ex& e) {
            EXPECT_EQ(e.level, 0);
            EXPECT_EQ(static_cast<DWORD>(e.code), ERROR_INVALID_PARAMETER);
            EXPECT_EQ(std::string(e.what()).rfind("Cannot convert to ANSI string: ", 0), 0u)
                << e.what();
        }
    }
}

// ---- Conversions that answer with a bool -------------------------------------------------------

TEST_F(TkConversion, BoolConversionsRefuseNullText) {
    char buffer[8];
    char* owned = nullptr;
    std::string out;
    wchar_t* wide = nullptr;
    EXPECT_FALSE(tk_unicode_to_ansi1(nullptr, buffer));
    EXPECT_FALSE(tk_unicode_to_ansi1(L"x", nullptr));
    EXPECT_FALSE(tk_unicode_to_ansi2(nullptr, owned));
    EXPECT_EQ(owned, nullptr);
    EXPECT_FALSE(tk_unicode_to_ansi3(nullptr, out));
    EXPECT_FALSE(tk_ansi_to_unicode(nullptr, wide));
    EXPECT_EQ(wide, nullptr);
}

// With a UTF-8 ANSI code page a CJK character takes three bytes, more than the two per
// character the old buffers allowed; the buffers now hold the worst case.
TEST_F(TkConversion, AnsiBuffersHoldTheWorstCase) {
    const wchar_t* cjk = L"\u4e2d\u6587\u5b57";
    const std::string expected = "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97";
    EXPECT_GE(tk_ansi_buffer_size(3), expected.size() + 1);

    std::string buffer(tk_ansi_buffer_size(3), '#');
    ASSERT_TRUE(tk_unicode_to_ansi1(cjk, buffer.data()));
    EXPECT_EQ(std::string(buffer.c_str()), expected);

    char* owned = new char[4];
    ASSERT_TRUE(tk_unicode_to_ansi2(L"\U0001F600\U0001F600", owned)); // the old buffer is freed
    EXPECT_STREQ(owned, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
    ASSERT_TRUE(tk_unicode_to_ansi2(cjk, owned));
    EXPECT_EQ(std::string(owned), expected);
    delete[] owned;

    std::string exact;
    ASSERT_TRUE(tk_unicode_to_ansi3(cjk, exact));
    EXPECT_EQ(exact, expected);
}

TEST_F(TkConversion, Ansi3OfTheEmptyTextIsFalseAndEmpty) {
    std::string out = "previous";
    EXPECT_FALSE(tk_unicode_to_ansi3(L"", out));
    EXPECT_TRUE(out.empty());
}

TEST_F(TkConversion, AnsiToUnicodeReplacesTheCallersBuffer) {
    wchar_t* out = new wchar_t[2]{L'x', L'\0'};
    ASSERT_TRUE(tk_ansi_to_unicode("\xC3\xA9t\xC3\xA9", out));
    EXPECT_EQ(std::wstring(out), L"\u00e9t\u00e9");
    use_cp1252();
    ASSERT_TRUE(tk_ansi_to_unicode("\x80", out));
    EXPECT_EQ(std::wstring(out), L"\u20ac");
    delete[] out;
}

// ---- UTF-16 ------------------------------------------------------------------------------------

TEST(TkUtf16, ConvertsDirectlyBetweenUtf16Utf8AndWideText) {
    std::u16string utf16 = u"na\u00efve \U0001F600";
    EXPECT_EQ(tk_utf16_to_utf8(utf16), "na\xC3\xAFve \xF0\x9F\x98\x80");
    EXPECT_EQ(tk_utf8_to_utf16("na\xC3\xAFve \xF0\x9F\x98\x80"), utf16);
    EXPECT_EQ(tk_utf16_to_wstring(utf16), L"na\u00efve \U0001F600");
    EXPECT_EQ(tk_to_utf16(L"na\u00efve \U0001F600"), utf16);
    std::string statement = "'";
    tk_append_utf8(statement, u"\u4e2d"s);
    tk_append_utf8(statement, L"\u00e9"s);
    EXPECT_EQ(statement, "'\xE4\xB8\xAD\xC3\xA9");
}

// ---- Trimming ----------------------------------------------------------------------------------

TEST(TkTrim, RemovesBlanksOnly) {
    struct trim_case {
        std::string text;
        std::string rtrimmed;
        std::string trimmed;
    };
    const trim_case cases[] = {
        {"ab  ", "ab", "ab"},        {"   ", "", ""},   {"", "", ""}, {"  a b  ", "  a b", "a b"},
        {"\ta\t", "\ta\t", "\ta\t"}, {" x", " x", "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        EXPECT_EQ(tk_rtrim(c.text), c.rtrimmed);
        EXPECT_EQ(tk_trim(c.text), c.trimmed);
        std::wstring wide(c.text.begin(), c.text.end());
        EXPECT_EQ(tk_wrtrim(wide), std::wstring(c.rtrimmed.begin(), c.rtrimmed.end()));
        EXPECT_EQ(tk_wtrim(wide), std::wstring(c.trimmed.begin(), c.trimmed.end()));
        std::wstring& same = tk_wstring::trim(wide);
        EXPECT_EQ(&same, &wide);
        EXPECT_EQ(wide, std::wstring(c.trimmed.begin(), c.trimmed.end()));
    }
}

// ---- Comparison --------------------------------------------------------------------------------

TEST(TkCompare, StartsAndEndsWithOrWithoutCase) {
    struct affix_case {
        std::wstring text;
        std::wstring affix;
        bool starts_exact;
        bool starts_no_case;
        bool ends_exact;
        bool ends_no_case;
    };
    const affix_case cases[] = {
        {L"abc", L"", true, true, true, true},
        {L"ab", L"abc", false, false, false, false},
        {L"ABC", L"ab", false, true, false, false},
        {L"xAB", L"ab", false, false, false, true},
        {L"\u00c9t\u00e9", L"\u00e9T\u00c9", false, true, false, true},
        {L"abc", L"abc", true, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text) + " / " + testing::PrintToString(c.affix));
        EXPECT_EQ(tk_wstring::starts_with(c.text, c.affix, true), c.starts_exact);
        EXPECT_EQ(tk_wstring::starts_with(c.text, c.affix, false), c.starts_no_case);
        EXPECT_EQ(tk_wstring::ends_with(c.text, c.affix, true), c.ends_exact);
        EXPECT_EQ(tk_wstring::ends_with(c.text, c.affix, false), c.ends_no_case);
    }
}

TEST(TkCompare, NarrowTextsCompareWithoutCase) {
    EXPECT_TRUE(tk_string::compare_no_case("Select", "sELECT"));
    EXPECT_TRUE(tk_string::compare_no_case("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"));
    EXPECT_FALSE(tk_string::compare_no_case("abc", "abd"));
    EXPECT_FALSE(tk_string::compare_no_case("abc", "ab"));
    EXPECT_TRUE(tk_string::compare_no_case("", ""));
    EXPECT_TRUE(tk_string::starts_with("CREATE FUNCTION f", "create function", false));
    EXPECT_FALSE(tk_string::starts_with("CREATE FUNCTION f", "create function", true));
    EXPECT_TRUE(tk_string::starts_with("x", "", true));
    EXPECT_FALSE(tk_string::starts_with("x", "xy", false));
}

// ---- Splitting and replacing -------------------------------------------------------------------

TEST(TkSplit, TokenizeKeepsEmptyItemsAndTheLastOne) {
    struct split_case {
        std::string text;
        std::vector<std::string> items;
    };
    const split_case cases[] = {
        {"", {}},          {"a", {"a"}},    {"a,b", {"a", "b"}},      {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}}, {",", {"", ""}}, {"a,b\0,c"s, {"a", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        EXPECT_EQ(tk_string::tokenize(c.text, ','), c.items);
        std::wstring wide(c.text.begin(), c.text.end());
        std::vector<std::wstring> wide_items;
        for (const auto& item : c.items) {
            wide_items.emplace_back(item.begin(), item.end());
        }
        EXPECT_EQ(tk_wstring::tokenize(wide, L','), wide_items);
        std::vector<std::wstring> out{L"old", L"content"};
        EXPECT_TRUE(tk_wstring::split(wide, L',', out));
        EXPECT_EQ(out, wide_items);
    }
}

TEST(TkReplace, ReplacesEveryOccurrenceWithoutSearchingInsertedText) {
    std::wstring wide = L"aaa";
    EXPECT_EQ(tk_wstring::replace_all(wide, L"a", L"aa"), L"aaaaaa");
    EXPECT_EQ(wide, L"aaaaaa");
    std::string narrow = "a.b.c";
    EXPECT_EQ(tk_string::replace_all(narrow, ".", ""), "abc");
    EXPECT_EQ(narrow, "abc");
    narrow = "[dbo].[t]";
    EXPECT_EQ(tk_string::replace_all(narrow, "[", "[["), "[[dbo].[[t]");
    // An empty pattern changes nothing and ends.
    EXPECT_EQ(tk_string::replace_all(narrow, "", "x"), "[[dbo].[[t]");
    EXPECT_EQ(tk_wstring::replace_all(wide, L"", L"x"), L"aaaaaa");
}

TEST(TkCase, ToLowerChangesAToZOnly) {
    std::wstring text = L"ABC xyz \u00c9\u0416 [Z]";
    EXPECT_EQ(tk_wstring::to_lower(text), L"abc xyz \u00c9\u0416 [z]");
    EXPECT_EQ(text, L"abc xyz \u00c9\u0416 [z]");
    std::wstring empty;
    EXPECT_EQ(tk_wstring::to_lower(empty), L"");
}

// ---- Hexadecimal -------------------------------------------------------------------------------

TEST(TkHex, WritesUpperCaseDigitsHighNibbleFirst) {
    const unsigned char bytes[] = {0x0A, 0xFF, 0x00, 0x9C};
    char out[9];
    tk_bin_to_hex(4, bytes, out);
    EXPECT_STREQ(out, "0AFF009C");
    wchar_t wide[9];
    tk_bin_to_whex(2, bytes, wide);
    EXPECT_STREQ(wide, L"0AFF");
    tk_bin_to_hex(0, nullptr, out);
    EXPECT_STREQ(out, "");
}

TEST(TkHex, ANullOutputIsAnInternalError) {
    const unsigned char bytes[] = {1};
    struct hex_case {
        const char* label;
        std::function<void()> call;
        int line;
    };
    char out[3];
    const hex_case cases[] = {
        {"narrow", [&] { tk_bin_to_hex(1, bytes, nullptr); }, 903},
        {"wide", [&] { tk_bin_to_whex(1, bytes, nullptr); }, 917},
        {"no bytes", [&] { tk_bin_to_hex(1, nullptr, out); }, 903},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const tk_mail_assertion& e) {
            EXPECT_EQ(std::string(e.what()), make_err_meggase("tk_utils", c.line));
            EXPECT_EQ(e.level, 2);
        }
    }
}

// ---- The program's path and the working directory ----------------------------------------------

TEST(TkModule, PathsAreThoseOfTheRunningProgram) {
    std::string expected = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(tk_get_module_file_name(), expected);
    EXPECT_EQ(fs::path(tk_get_module_file_wname()).string(), expected);
    EXPECT_EQ(tk_get_module_dir(), fs::path(expected).parent_path().string() + "/");
}

// A folder the unprivileged user can reach, removed with its content.
class TkFiles : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tktext-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::permissions(dir_,
                        fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
        start_dir_ = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(start_dir_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string make_file(const std::string& name, fs::perms perms = fs::perms::owner_read |
                                                                     fs::perms::owner_write |
                                                                     fs::perms::others_read) {
        std::string path = (dir_ / name).string();
        std::ofstream(path) << "x";
        fs::permissions(path, perms);
        return path;
    }

    std::string make_dir(const std::string& name, fs::perms perms) {
        fs::path path = dir_ / name;
        fs::create_directory(path);
        fs::permissions(path, perms);
        return path.string();
    }

    fs::path dir_;
    fs::path start_dir_;
};

TEST_F(TkFiles, TempChdirChangesForItsLifetime) {
    {
        tk_temp_chdir change(dir_.string());
        EXPECT_TRUE(change.changed);
        EXPECT_EQ(change.saved_dir, start_dir_.string());
        EXPECT_EQ(fs::current_path(), dir_);
    }
    EXPECT_EQ(fs::current_path(), start_dir_);
    {
        tk_temp_chdir to_program("");
        EXPECT_TRUE(to_program.changed);
        EXPECT_EQ(fs::current_path().string() + "/", tk_get_module_dir());
    }
    {
        tk_temp_chdir missing((dir_ / "missing").string());
        EXPECT_FALSE(missing.changed);
        EXPECT_EQ(fs::current_path(), start_dir_);
    }
    EXPECT_EQ(fs::current_path(), start_dir_);
}

TEST_F(TkFiles, PathExistOnlyForDirectories) {
    std::string file = make_file("f.txt");
    struct path_case {
        std::string path;
        bool exists;
    };
    const path_case cases[] = {
        {dir_.string(), true},
        {dir_.string() + "/", true},
        {file, false},
        {(dir_ / "missing").string(), false},
        {"", true}, // the program's directory
        {"/" + std::string(PATH_MAX + 10, 'a'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 80));
        EXPECT_EQ(tk_is_path_exist(c.path), c.exists);
        EXPECT_EQ(tk_is_path_exist(fs::path(c.path).wstring()), c.exists);
        EXPECT_EQ(fs::current_path(), start_dir_);
    }
}

// Other threads resolve relative paths against the working directory; the directory test must
// never move it, not even for a moment.
TEST_F(TkFiles, PathExistNeverMovesTheWorkingDirectory) {
    std::atomic<bool> done{false};
    std::atomic<int> moved{0};
    std::thread watcher([&] {
        while (!done.load()) {
            char buffer[PATH_MAX];
            if (getcwd(buffer, sizeof buffer) == nullptr || start_dir_ != buffer) {
                ++moved;
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        tk_is_path_exist(dir_.string());
    }
    done = true;
    watcher.join();
    EXPECT_EQ(moved.load(), 0);
}

TEST_F(TkFiles, FileExistTellsFilesAndWritableFiles) {
    std::string file = make_file("f.txt");
    std::string read_only = make_file("ro.txt", fs::perms::owner_read | fs::perms::others_read);
    struct file_case {
        std::string path;
        bool exists;
        bool writable;
    };
    const file_case cases[] = {
        {file, true, true},
        {read_only, true, false},
        {dir_.string(), false, false},
        {(dir_ / "missing").string(), false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(tk_is_file_exist1(c.path, tk_file_exists), c.exists);
        EXPECT_EQ(tk_is_file_exist1(c.path, tk_file_writable), c.writable);
        std::wstring wide = fs::path(c.path).wstring();
        EXPECT_EQ(tk_is_file_exist2(wide, 0x4000), c.exists);
        EXPECT_EQ(tk_is_file_exist2(wide, 1), c.writable);
    }
}

TEST_F(TkFiles, AccessTestsAnswerForTheUnprivilegedUser) {
    std::string open_dir = make_dir("open", fs::perms::all);
    std::string closed_dir =
        make_dir("closed", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    std::string locked_dir = make_dir("locked", fs::perms::owner_all);
    std::string roots_file = make_file("roots.txt"); // 0604, root's
    std::string own_file = make_file("own.txt", fs::perms::all);
    EXPECT_TRUE(test_support::run_unprivileged([&] {
        test_support::unprivileged_checks c;
        c.check(tk_has_access(open_dir.c_str(), GENERIC_WRITE), "open dir writable");
        c.check(!tk_has_access(closed_dir.c_str(), GENERIC_WRITE), "closed dir refused");
        c.check(!tk_has_waccess(fs::path(closed_dir).wstring().c_str(), GENERIC_WRITE),
                "closed dir refused, wide");
        c.check(tk_has_waccess(fs::path(open_dir).wstring().c_str(), GENERIC_WRITE),
                "open dir writable, wide");
        c.check(!tk_has_access(nullptr, GENERIC_WRITE), "null path");
        c.check(!tk_has_waccess(nullptr, GENERIC_WRITE), "null wide path");
        c.check(tk_is_path_exist(closed_dir), "closed dir exists");
        c.check(!tk_is_path_exist(locked_dir), "a dir that cannot be entered");
        c.check(tk_is_file_exist1(roots_file, tk_file_exists), "root's file exists");
        c.check(!tk_is_file_exist1(roots_file, tk_file_writable), "root's file not writable");
        c.check(tk_is_file_exist1(own_file, tk_file_writable), "a file open to all is writable");
        return c.text();
    }));
}

} // namespace
