// File names split into their parts and joined again.
#include "TK/tk_fname.h"

#include "TK/tk_excep.h"
#include "TK/tk_utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(TkFileName, RelativeNamesSplitAgainstTheWorkingDirectory) {
    std::string cwd = fs::current_path().string();
    tk_file_name file("sub/../dump.sql");
    EXPECT_EQ(file.drive, "");
    EXPECT_EQ(file.dir, (cwd == "/" ? "" : cwd) + "/");
    EXPECT_EQ(file.name, "dump");
    EXPECT_EQ(file.ext, ".sql");
    EXPECT_EQ(file.get_path(), file.dir);

    tk_file_wname wide(L"dump.sql");
    EXPECT_EQ(fs::path(wide.dir).string(), file.dir);
    EXPECT_EQ(wide.name, L"dump");
    EXPECT_EQ(wide.ext, L".sql");
}

TEST(TkFileName, AbsoluteNamesSplitAsGiven) {
    tk_file_name file(std::string("/var/log/velmora.run.log"));
    EXPECT_EQ(file.dir, "/var/log/");
    EXPECT_EQ(file.name, "velmora.run");
    EXPECT_EQ(file.ext, ".log");
    tk_file_wname wide(L"/srv/\u00e9t\u00e9/\u4e2d.sql");
    EXPECT_EQ(wide.dir, L"/srv/\u00e9t\u00e9/");
    EXPECT_EQ(wide.name, L"\u4e2d");
    EXPECT_EQ(wide.get_full_name(), L"/srv/\u00e9t\u00e9/\u4e2d.sql");
}

TEST(TkFileName, TheEmptyNameIsTheProgramsDirectoryWithoutAName) {
    fs::path program = fs::read_symlink("/proc/self/exe");
    tk_file_name file("");
    EXPECT_EQ(file.dir, program.parent_path().string() + "/");
    EXPECT_EQ(file.name, "");
    EXPECT_EQ(file.ext, program.extension().string());
    tk_file_wname wide(L"");
    EXPECT_EQ(fs::path(wide.dir).string(), file.dir);
    EXPECT_EQ(wide.name, L"");
}

TEST(TkFileName, NullAndOverlongPathsAreInternalErrors) {
    std::string too_long = "/" + std::string(PATH_MAX, 'a');
    struct bad_case {
        const char* label;
        std::function<void()> make;
        int line;
    };
    const bad_case cases[] = {
        {"null", [] { tk_file_name file(static_cast<const char*>(nullptr)); }, 31},
        {"too long", [&] { tk_file_name file(too_long); }, 39},
        {"null, wide",
         [] {
             tk_file_wname file(L"x");
             file.initialize(nullptr);
         },
         83},
        {"too long, wide", [&] { tk_file_wname file(fs::path(too_long).wstring()); }, 91},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        try {
            c.make();
            ADD_FAILURE() << "no exception";
        } catch (const tk_mail_assertion& e) {
            EXPECT_EQ(std::string(e.what()), make_err_meggase("tk_fname", c.line));
        }
    }
}

TEST(TkFileName, SetExtAddsTheDotWhenMissing) {
    struct ext_case {
        const wchar_t* given;
        const wchar_t* stored;
    };
    const ext_case cases[] = {{L"sql", L".sql"}, {L".sql", L".sql"}, {L"", L""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.given)));
        tk_file_wname file(L"/srv/db.old");
        file.set_ext(c.given);
        EXPECT_EQ(file.ext, c.stored);
        EXPECT_EQ(file.get_full_name(), std::wstring(L"/srv/db") + c.stored);
    }
}

TEST(TkFileName, MakeFileNamePutsTheNameBesideTheBase) {
    std::wstring out = L"previous";
    EXPECT_EQ(tk_make_file_wname(out, L"/srv/dumps/old.sql", L"shop", L"sql", false),
              L"/srv/dumps/shop.sql");
    EXPECT_EQ(&tk_make_file_wname(out, L"/srv/dumps/old.sql", L"shop", L".txt", false), &out);
    EXPECT_EQ(out, L"/srv/dumps/shop.txt");
    EXPECT_EQ(tk_make_file_wname(out, L"/srv/dumps/old.sql", L"as typed", L"sql", true),
              L"as typed");

    // A relative base is made absolute against the working directory; the empty one is the
    // program's own path.
    std::wstring cwd = fs::current_path().wstring();
    EXPECT_EQ(tk_make_file_wname(out, L"old.sql", L"shop", L"sql", false),
              (cwd == L"/" ? L"" : cwd) + L"/shop.sql");
    std::wstring program_dir = fs::read_symlink("/proc/self/exe").parent_path().wstring();
    EXPECT_EQ(tk_make_file_wname(out, L"", L"shop", L"sql", false), program_dir + L"/shop.sql");
}

} // namespace
