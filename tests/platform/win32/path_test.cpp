// Full paths and split paths on POSIX paths.
#include "platform/win32/path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(Path, FullPathNormalisesByTextAlone) {
    struct full_case {
        const char* path;
        const char* full;
    };
    const full_case cases[] = {
        {"/a/b/c.txt", "/a/b/c.txt"},
        {"/a/./b//c", "/a/b/c"},
        {"/a/b/../c", "/a/c"},
        {"/../..", "/"},
        {"/", "/"},
        {"/a/b/", "/a/b/"},
        {"/no/such/dir/../file", "/no/such/file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string out;
        ASSERT_TRUE(win32::full_path(c.path, out));
        EXPECT_EQ(out, c.full);
        std::wstring wide_out;
        ASSERT_TRUE(win32::full_path(std::filesystem::path(c.path).wstring(), wide_out));
        EXPECT_EQ(wide_out, std::filesystem::path(c.full).wstring());
    }
}

TEST(Path, RelativePathsResolveAgainstTheWorkingDirectory) {
    std::string cwd = std::filesystem::current_path().string();
    std::string out;
    ASSERT_TRUE(win32::full_path("x/y.sql", out));
    EXPECT_EQ(out, (cwd == "/" ? "" : cwd) + "/x/y.sql");
    ASSERT_TRUE(win32::full_path("", out));
    EXPECT_EQ(out, cwd);
}

TEST(Path, RefusesPathsLongerThanTheLimit) {
    std::string out = "unchanged";
    std::string long_path = "/" + std::string(win32::max_path_length(), 'a');
    EXPECT_FALSE(win32::full_path(long_path, out));
    EXPECT_EQ(out, "unchanged");
    std::wstring wide_out;
    EXPECT_FALSE(win32::full_path(std::wstring(win32::max_path_length() + 1, L'a'), wide_out));
    // Just at the limit is fine.
    EXPECT_TRUE(win32::full_path("/" + std::string(win32::max_path_length() - 1, 'a'), out));
}

TEST(Path, SplitsIntoDirectoryNameAndExtension) {
    struct split_case {
        const char* path;
        const char* dir;
        const char* name;
        const char* ext;
    };
    const split_case cases[] = {
        {"/srv/dump/db.sql", "/srv/dump/", "db", ".sql"},
        {"/srv/archive.tar.gz", "/srv/", "archive.tar", ".gz"},
        {"/usr/bin/pontrel", "/usr/bin/", "pontrel", ""},
        {"/home/u/.profile", "/home/u/", ".profile", ""},
        {"/home/u/.config.bak", "/home/u/", ".config", ".bak"},
        {"/srv/dir/", "/srv/dir/", "", ""},
        {"name.ext", "", "name", ".ext"},
        {"/a.b/c", "/a.b/", "c", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        win32::path_parts parts = win32::split_path(c.path);
        EXPECT_EQ(parts.drive, "");
        EXPECT_EQ(parts.dir, c.dir);
        EXPECT_EQ(parts.name, c.name);
        EXPECT_EQ(parts.ext, c.ext);
        EXPECT_EQ(win32::make_path(parts), c.path);
    }
}

TEST(Path, MakePathAddsMissingSeparators) {
    EXPECT_EQ(win32::make_path(win32::path_parts{"", "/srv", "db", "sql"}), "/srv/db.sql");
    EXPECT_EQ(win32::make_path(win32::wpath_parts{L"", L"/srv/", L"db", L".sql"}), L"/srv/db.sql");
}

} // namespace
