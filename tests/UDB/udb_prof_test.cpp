// Profile files: the file format, reading back, damaged files and failed writes.
#include "UDB/udb_prof.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

// A byte string literal with its NULs.
template <std::size_t N> std::string bytes_of(const char (&text)[N]) {
    return std::string(text, N - 1);
}

class UdbProfile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("udb_prof_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::wstring path(const char* name) const { return (dir_ / name).wstring(); }

    std::string read(const std::wstring& file) const {
        std::ifstream in(std::filesystem::path(file), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::wstring write(const char* name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return path(name);
    }

    std::filesystem::path dir_;
};

TEST_F(UdbProfile, AFreshProfileHoldsFourEmptySectionsInNameOrder) {
    udb_profile profile;
    ASSERT_TRUE(profile.store(path("fresh.vpf")));
    EXPECT_EQ(read(path("fresh.vpf")), "[Available Queries]\r\n\r\n"
                                       "[Generic settings]\r\n\r\n"
                                       "[Selected Tables]\r\n\r\n"
                                       "[Selected Views]\r\n\r\n");
}

TEST_F(UdbProfile, StoreWritesSectionsPairsAndPlainLines) {
    udb_profile profile;
    profile.set_value(L"Selected Tables", L"dbo.Orders", L"");
    profile.set_value(L"Selected Tables", L"Big ones", L"select * from t where a = 1");
    profile.set_value(L"Generic settings", L"logfile", L"");
    profile.set_value(L"MySQL settings", L"host", L"Zürich");
    profile.add_line(L"Type Mappings", L"database:");
    profile.add_line(L"Type Mappings", L"  engine: InnoDB");
    ASSERT_TRUE(profile.store(path("p.vpf")));
    EXPECT_EQ(read(path("p.vpf")), "[Available Queries]\r\n\r\n"
                                   "[Generic settings]\r\nlogfile=\r\n\r\n"
                                   "[MySQL settings]\r\nhost=Z\xC3\xBCrich\r\n\r\n"
                                   "[Selected Tables]\r\ndbo.Orders\r\n"
                                   "Big ones=select * from t where a = 1\r\n\r\n"
                                   "[Selected Views]\r\n\r\n"
                                   "[Type Mappings]\r\ndatabase:\r\n  engine: InnoDB\r\n");
}

TEST_F(UdbProfile, WhatIsStoredReadsBackTheSame) {
    udb_profile stored;
    stored.set_value(L"Selected Tables", L"Orders", L"");
    // Table names in brackets are names, not sections, also the one that looks like a section.
    for (const wchar_t* table : {L"[dbo].[x'y]", L"[[x]]]", L"[a.b]"}) {
        stored.set_value(L"Selected Tables", table, L"");
    }
    stored.set_value(L"Available Queries", L"q", L"select 'a=b' from t");
    stored.set_value(L"Generic settings", L"mode", L"2");
    stored.set_value(L"Generic settings", L"mode", L"3");
    stored.set_value(L"MS SQL Server settings", L"server", L"host\\inst, 1433");
    stored.set_value(L"MySQL settings", L"password", L"p@ss word=é😀");
    const std::vector<std::wstring> lines = {L"database:",
                                             L"tables:",
                                             L"  - name: [dbo].[Order Details]",
                                             L"        default_value: a=b",
                                             L"        character_set: ",
                                             L"    fields:"};
    for (const std::wstring& line : lines) {
        stored.add_line(L"Type Mappings", line);
    }
    ASSERT_TRUE(stored.store(path("p.vpf")));

    udb_profile loaded;
    ASSERT_TRUE(loaded.load(path("p.vpf")));
    for (const auto& [name, pairs] : stored.sections) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        ASSERT_TRUE(loaded.sections.count(name));
        EXPECT_EQ(loaded.sections.at(name), pairs);
    }
    EXPECT_EQ(loaded.get_value(L"Generic settings", L"mode"), L"2");
    EXPECT_EQ(loaded.get_value(L"MySQL settings", L"password"), L"p@ss word=é😀");
    EXPECT_EQ(loaded.get_lines(L"Type Mappings"), lines);
    EXPECT_EQ(loaded.selected_tables(), stored.selected_tables());
    EXPECT_EQ(loaded.sections.count(L"a.b"), 0u);
    EXPECT_EQ(loaded.get_available_queries(), stored.get_available_queries());
}

TEST_F(UdbProfile, LinesAreReadByTheFormatRules) {
    const std::wstring file = write("p.vpf", "\n  [Generic settings]  \r\n"
                                             "a=b=c\r\n"
                                             "  key  =  value  \n"
                                             "   \n"
                                             "dup=1\ndup=2\n"
                                             "  [Type Mappings]\n"
                                             "  - name: x\n"
                                             "[Selected Views]\n"
                                             "v=select 1");
    udb_profile profile;
    ASSERT_TRUE(profile.load(file));
    const udb_profile_pairs expected = {
        {L"a", L"b=c"}, {L"key", L"  value"}, {L"dup", L"1"}, {L"dup", L"2"}};
    EXPECT_EQ(profile.sections.at(L"Generic settings"), expected);
    EXPECT_EQ(profile.get_value(L"Generic settings", L"dup"), L"1");
    EXPECT_EQ(profile.get_value(L"Generic settings", L"none"), L"");
    EXPECT_EQ(profile.get_value(L"No section", L"a"), L"");
    EXPECT_EQ(profile.get_lines(L"Type Mappings"), std::vector<std::wstring>{L"  - name: x"});
    EXPECT_EQ(profile.sections.at(L"Type Mappings"), (udb_profile_pairs{{L"- name: x", L""}}));
    EXPECT_EQ(profile.get_value(L"Selected Views", L"v"), L"select 1");
}

// Names fold their ASCII letters only: a section given twice in other cases is one; letters
// outside ASCII keep their case, whatever the locale.
TEST_F(UdbProfile, SectionAndKeyNamesAreTheSameInAnyAsciiLetterCase) {
    const std::wstring file = write("c.vpf", "[generic SETTINGS]\nMode=1\n"
                                             "[selected tables]\ndbo.A\n"
                                             "[Selected Tables]\ndbo.a\n"
                                             "[Type mappings]\n- name: x\n"
                                             "[\xC3\x89t\xC3\xA9]\n\xC3\x89=1\n");
    udb_profile profile;
    ASSERT_TRUE(profile.load(file));
    EXPECT_EQ(profile.get_value(L"Generic settings", L"mode"), L"1");
    EXPECT_EQ(profile.get_value(L"GENERIC SETTINGS", L"MODE"), L"1");
    EXPECT_EQ(profile.get_selected_tables(), (udb_profile_pairs{{L"dbo.A", L""}, {L"dbo.a", L""}}));
    EXPECT_EQ(profile.sections.count(L"Selected Tables"), 1u);
    EXPECT_EQ(profile.get_lines(L"Type Mappings"), std::vector<std::wstring>{L"- name: x"});
    EXPECT_EQ(profile.get_value(L"\u00C9t\u00E9", L"\u00C9"), L"1");
    EXPECT_EQ(profile.get_value(L"\u00E9t\u00E9", L"\u00C9"), L"");
    EXPECT_EQ(profile.get_value(L"\u00C9t\u00E9", L"\u00E9"), L"");
}

TEST_F(UdbProfile, DamagedFilesGiveFalseWithoutCrashing) {
    struct damaged_case {
        const char* what;
        std::string bytes;
    };
    const std::vector<damaged_case> cases = {
        {"a pair before any section", "a=1\r\n[Generic settings]\r\n"},
        {"a plain line before any section", "hello\r\n"},
    };
    for (const damaged_case& c : cases) {
        SCOPED_TRACE(c.what);
        udb_profile profile;
        EXPECT_FALSE(profile.load(write("bad.vpf", c.bytes)));
    }

    udb_profile empty_file;
    EXPECT_TRUE(empty_file.load(write("empty.vpf", "")));
    EXPECT_EQ(empty_file.sections.size(), 4u);
}

// An editor's byte-order mark is skipped; a NUL (which would cut a password or a name short
// where it is passed on) and bytes that are not UTF-8 (which would become U+FFFD in a database
// name) are refused, naming the key whose value holds them, else the line.
TEST_F(UdbProfile, ByteOrderMarkIsSkippedAndBytesThatAreNoTextAreRefused) {
    udb_profile marked;
    ASSERT_TRUE(marked.load(write("bom.vpf", "\xEF\xBB\xBF[Generic settings]\r\ndest=x\r\n")));
    EXPECT_EQ(marked.get_value(L"Generic settings", L"dest"), L"x");

    const struct {
        std::string bytes;
        std::string reason;
    } cases[] = {
        {bytes_of("[MS SQL Server settings]\r\npassword=pw\x00zz\r\n"),
         "the value of 'password' in [MS SQL Server settings] holds a NUL byte."},
        {"[Generic settings]\nsrc=a\n dest = a\xFF.sql\n",
         "the value of 'dest' in [Generic settings] is not valid UTF-8."},
        {"[Generic settings]\n\xC0\xAF=1\n", "line 2 is not valid UTF-8."},
        {bytes_of("\x01\xFF\xFE\x80garbage=\x00\x7F\n[S]\n"), "line 1 holds a NUL byte."},
        {bytes_of("[S]\r\n\x00\x00\r\n"), "line 2 holds a NUL byte."},
        {"[S\xFF]\n", "line 1 is not valid UTF-8."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::wstring file = write("bad.vpf", c.bytes);
        udb_profile profile;
        try {
            profile.load(file);
            ADD_FAILURE() << "accepted";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.what(),
                      "Cannot read the profile " + (dir_ / "bad.vpf").string() + ": " + c.reason);
            EXPECT_EQ(e.level, 1);
        }
    }
}

TEST_F(UdbProfile, MissingFilesAndDirectoriesAreReportedToTheUser) {
    const std::string directory = dir_.string();
    const struct {
        std::wstring path;
        std::string message;
    } cases[] = {
        {path("none.vpf"),
         "Profile does not exist. Please verify the correct path/name was given."},
        {dir_.wstring(),
         "Cannot read the profile " + directory + ": the path names a directory, not a file."},
        // A device reports size 0: the reader counts bytes and stops at the limit.
        {L"/dev/zero", "Cannot read the profile /dev/zero: the file is larger than 64 MiB."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        udb_profile profile;
        try {
            profile.load(c.path);
            FAIL() << "no exception";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.what(), c.message);
            EXPECT_EQ(e.level, 1);
        }
    }
}

TEST_F(UdbProfile, LinesOfAnyLengthAreRead) {
    udb_profile stored;
    const std::wstring long_query = L"select " + std::wstring(3 * 1024 * 1024, L'x');
    stored.set_value(L"Available Queries", L"big", long_query);
    stored.add_line(L"Type Mappings", std::wstring(5000, L'é'));
    for (int i = 0; i < 20000; ++i) {
        stored.set_value(L"Selected Tables", L"table_" + std::to_wstring(i), L"");
    }
    ASSERT_TRUE(stored.store(path("big.vpf")));

    udb_profile loaded;
    ASSERT_TRUE(loaded.load(path("big.vpf")));
    EXPECT_EQ(loaded.get_value(L"Available Queries", L"big"), long_query);
    EXPECT_EQ(loaded.get_lines(L"Type Mappings")[0].size(), 5000u);
    EXPECT_EQ(loaded.selected_tables().size(), 20000u);
}

TEST_F(UdbProfile, AProfileThatCannotBeWrittenWhollyIsNotStored) {
    udb_profile profile;
    profile.set_value(L"Available Queries", L"q", std::wstring(100000, L'q'));
    EXPECT_FALSE(profile.store(L"/dev/full"));
    EXPECT_FALSE(profile.store(path("missing-dir/p.vpf")));
    EXPECT_FALSE(profile.store(dir_.wstring()));
}

TEST_F(UdbProfile, ListSectionsMustExist) {
    udb_profile profile;
    EXPECT_TRUE(profile.available_queries().empty());
    profile.sections.erase(L"Selected Views");
    try {
        profile.selected_views();
        FAIL() << "no exception";
    } catch (const tk_exception_ex& e) {
        EXPECT_EQ(e.level, 1);
    }
}

} // namespace

// Section names sort by their UTF-16 units, as on the platform the profiles come from: a
// character beyond U+FFFF (a surrogate pair) sorts between U+D7FF and U+E000.
TEST(UdbNameOrder, SectionNamesSortByUtf16Units) {
    const std::vector<std::wstring> sorted = {L"a",       L"a\uD7FF", L"a\U0001F600",
                                              L"a\uE000", L"a\uFFFD", L"b"};
    const udb_utf16_less less;
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(less(sorted[i], sorted[i + 1]));
        EXPECT_FALSE(less(sorted[i + 1], sorted[i]));
        EXPECT_FALSE(less(sorted[i], sorted[i]));
    }
}
