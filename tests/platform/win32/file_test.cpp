// File attributes, deletion, the program's path and the access test.
#include "platform/win32/file.h"

#include "platform/win32/codepage.h"
#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A folder that the unprivileged user of the access tests can reach, removed with its content.
class FileCalls : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tktext-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }

    std::string make_file(const std::string& name,
                          fs::perms perms = fs::perms::owner_read | fs::perms::owner_write |
                                            fs::perms::group_read | fs::perms::others_read) {
        std::string path = (dir_ / name).string();
        std::ofstream(path) << "x";
        fs::permissions(path, perms);
        return path;
    }

    fs::path dir_;
};

TEST_F(FileCalls, AttributesTellDirectoriesFilesAndReadOnlyFiles) {
    std::string file = make_file("plain.txt");
    std::string read_only = make_file("ro.txt", fs::perms::owner_read | fs::perms::others_read);
    EXPECT_EQ(GetFileAttributesA(dir_.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);
    // Without any write bit the file is read-only, even to root.
    EXPECT_EQ(GetFileAttributesA(read_only.c_str()), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(fs::path(read_only).wstring().c_str()), FILE_ATTRIBUTE_READONLY);
}

TEST_F(FileCalls, AttributesOfBadPathsAreInvalidWithAReason) {
    std::string missing = (dir_ / "missing").string();
    std::string too_long = "/" + std::string(PATH_MAX, 'a');
    struct bad_case {
        const char* label;
        const char* path;
        DWORD error;
    };
    const bad_case cases[] = {
        {"null", nullptr, ERROR_INVALID_PARAMETER},
        {"empty", "", ERROR_PATH_NOT_FOUND},
        {"missing", missing.c_str(), ERROR_FILE_NOT_FOUND},
        {"too long", too_long.c_str(), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetFileAttributesA(c.path), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileCalls, WidePathsThatTheCodePageLacksAreRefusedNotGuessed) {
    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    make_file("?.txt");
    std::wstring path = (dir_ / "").wstring() + L"\u4e2d.txt";
    // Lossy narrowing would find "?.txt"; the path must not be taken for it.
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    win32::set_ansi_code_page(CP_ACP);
}

TEST_F(FileCalls, DeleteFileRemovesFilesOnly) {
    std::string file = make_file("doomed.db");
    EXPECT_TRUE(DeleteFileW(fs::path(file).wstring().c_str()));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(DeleteFileA(file.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA(dir_.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::exists(dir_));
    EXPECT_FALSE(DeleteFileA(nullptr));
}

// A path to delete is followed as every path the programs touch: a link another user planted in
// a shared sticky folder on the way is not followed, and another user's file is not removed.
TEST_F(FileCalls, DeleteFileFollowsLinksOnlyAsTheRuleAllows) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to be the victim of another user";
    }
    const fs::path shared = dir_ / "shared";
    const fs::path rootonly = dir_ / "rootonly";
    fs::create_directories(shared);
    fs::create_directories(rootonly);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(rootonly, fs::perms::owner_all);
    std::ofstream(rootonly / "victim.db") << "root's";
    ASSERT_TRUE(test_support::run_unprivileged([&] {
        std::ofstream((shared / "theirs.db").string()) << "theirs";
        return symlink("../rootonly", (shared / "d").c_str()) == 0 ? std::string()
                                                                   : "symlink failed";
    }));
    for (const fs::path& path : {shared / "d" / "victim.db", shared / "theirs.db"}) {
        SCOPED_TRACE(path.string());
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    EXPECT_TRUE(fs::exists(rootonly / "victim.db"));
    EXPECT_TRUE(fs::exists(shared / "theirs.db"));
    fs::create_symlink("../rootonly", shared / "mine");
    EXPECT_TRUE(DeleteFileA((shared / "mine" / "victim.db").c_str()));
    EXPECT_FALSE(fs::exists(rootonly / "victim.db"));
}

TEST(ModuleFileName, IsThePathOfTheRunningProgram) {
    std::string expected = fs::read_symlink("/proc/self/exe").string();
    char buffer[PATH_MAX];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    ASSERT_EQ(length, expected.size());
    EXPECT_EQ(std::string(buffer), expected);

    wchar_t wide[PATH_MAX];
    ASSERT_EQ(GetModuleFileNameW(nullptr, wide, PATH_MAX), expected.size());
    EXPECT_EQ(fs::path(wide).string(), expected);
}

TEST(ModuleFileName, IsCutToAShortBufferWithAnError) {
    char buffer[5];
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(buffer), fs::read_symlink("/proc/self/exe").string().substr(0, 4));
    int other_module = 0;
    EXPECT_EQ(GetModuleFileNameA(&other_module, buffer, sizeof buffer), 0u);
}

TEST_F(FileCalls, RootIsGrantedWriteAccessEverywhere) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only meaningful as root";
    }
    std::string read_only = make_file("ro.txt", fs::perms::owner_read);
    EXPECT_TRUE(win32::has_access(dir_.c_str(), GENERIC_WRITE));
    EXPECT_TRUE(win32::has_access(read_only.c_str(), GENERIC_WRITE));
}

TEST_F(FileCalls, AccessIsRefusedWhereTheUserMayNotWrite) {
    std::string own_file = make_file("others.txt"); // root's, 0644
    fs::path open_dir = dir_ / "open";
    fs::path closed_dir = dir_ / "closed";
    fs::create_directory(open_dir);
    fs::create_directory(closed_dir);
    fs::permissions(open_dir, fs::perms::all);
    fs::permissions(closed_dir,
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    std::string missing = (dir_ / "missing").string();
    EXPECT_TRUE(test_support::run_unprivileged([&] {
        test_support::unprivileged_checks c;
        c.check(win32::has_access(open_dir.c_str(), GENERIC_WRITE), "open dir writable");
        c.check(!win32::has_access(closed_dir.c_str(), GENERIC_WRITE), "closed dir refused");
        c.check(win32::has_access(closed_dir.c_str(), GENERIC_READ), "closed dir readable");
        c.check(!win32::has_access(own_file.c_str(), GENERIC_WRITE), "other's file refused");
        c.check(GetFileAttributesA(own_file.c_str()) == FILE_ATTRIBUTE_READONLY,
                "other's file read-only");
        c.check(!win32::has_access(missing.c_str(), GENERIC_READ), "missing path refused");
        c.check(!win32::has_access(nullptr, GENERIC_READ), "null path refused");
        return c.text();
    }));
}

} // namespace
