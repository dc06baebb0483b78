// Destination preparation without a server: port texts, database names, script paths.
#include "tests/converter/converter_test_support.h"

#include "tests/support/unprivileged.h"
#include "TK/tk_stop.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using converter_test::driver_env;
using converter_test::temp_dir;

namespace {

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string refusal(const std::function<void()>& body) {
    try {
        body();
    } catch (const tk_exception& error) {
        return std::to_string(error.level) + ":" + error.what();
    }
    return "accepted";
}

TEST(Destination, PortTextsThatAreNoPortAreRefusedBeforeConnecting) {
    driver_env env;
    velmora_convertor converter;
    for (const char* port : {"abc", "0", "", "-5", "70000"}) {
        SCOPED_TRACE(port);
        converter.port = port;
        EXPECT_EQ(refusal([&] { converter.connect_mysql_server(); }), "1:Invalid port number");
        EXPECT_FALSE(converter.sql->connected);
    }
}

TEST(Destination, DatabaseNamesByServerVersion) {
    driver_env env;
    velmora_convertor converter;
    converter.sql->version = 0x50700;
    EXPECT_EQ(refusal([&] { converter.check_mysql_db_name(L"shop_copy"); }), "accepted");
    EXPECT_EQ(refusal([&] { converter.check_mysql_db_name(L"a/b"); }),
              "1:Not a valid MySQL database name. Use alphanumeric characters\r\n(A-Z, a-z, 0-9), "
              "'_', '$' and spaces to compose new database name.");
    converter.sql->version = 0x40000;
    EXPECT_EQ(refusal([&] { converter.check_mysql_db_name(L"12345"); }).substr(0, 48),
              "1:Not a valid MySQL database name. It cannot con");
}

// A run must never reach the server's own databases: mode 0 would drop them, mode 1 would drop
// their tables that a source table is named like. The refusal comes before any statement, so
// no server is needed to see it.
TEST(Destination, ServerDatabasesAreNeverADestination) {
    driver_env env;
    velmora_convertor converter;
    for (const int mode : {0, 1, 2, 3, 4}) {
        converter.mode = mode;
        for (const wchar_t* name :
             {L"mysql", L"SYS", L"information_schema", L"Performance_Schema"}) {
            SCOPED_TRACE(tk_to_utf8(name) + " mode " + std::to_string(mode));
            converter.dest = name;
            const std::string text = refusal([&] { converter.check_dest(); });
            EXPECT_EQ(text.substr(0, 2), "1:");
            EXPECT_NE(text.find("belongs to the MySQL server itself"), std::string::npos) << text;
            EXPECT_NE(refusal([&] { converter.del_mysql_base(name); }), "accepted");
        }
    }
}

// A stop asked for before the destination is prepared (Ctrl-C while the source is read) ends
// the run there: mode 0 drops nothing.
TEST(Destination, AStopRequestedBeforePreparationDropsNothing) {
    driver_env env;
    velmora_convertor converter;
    converter.mode = 0;
    converter.dest = L"shop_copy";
    tk_request_stop();
    const std::string text = refusal([&] { converter.check_dest(); });
    tk_clear_stop();
    EXPECT_EQ(text, "1:The conversion was stopped by the user.");
}

TEST(Destination, ScriptPaths) {
    driver_env env;
    temp_dir dir;
    mkdir(dir.file("folder").c_str(), 0755);
    std::ofstream(dir.file("old.sql")) << "old";
    EXPECT_EQ(refusal([&] { common_check_dest(dir.wfile("folder")); }),
              "1:Destination name should specify a file, not folder.");
    EXPECT_EQ(refusal([&] { common_check_dest(dir.wfile("missing/out.sql")); }),
              "1:Destination path does not exist.\nPlease verify the correct path was given.");
    EXPECT_EQ(refusal([&] { common_check_dest(dir.wfile("new.sql")); }), "accepted");

    // A relative path is resolved against the working directory.
    const std::string saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    EXPECT_EQ(refusal([&] { common_check_dest(L"folder"); }),
              "1:Destination name should specify a file, not folder.");
    EXPECT_EQ(refusal([&] { common_check_dest(L"relative.sql"); }), "accepted");
    std::filesystem::current_path(saved);

    velmora_convertor converter;
    converter.direct = false;
    converter.dest = dir.wfile("old.sql");
    EXPECT_EQ(refusal([&] { converter.check_dest(); }), "accepted");
    // Only a whole script replaces it, at the end of the run.
    EXPECT_EQ(read_text(dir.file("old.sql")), "old") << "a writable file stays until then";
}

TEST(Destination, ReadOnlyAndUnwritablePlacesAreRefused) {
    temp_dir dir;
    chmod(dir.path.c_str(), 0755);
    std::ofstream(dir.file("ro.sql")) << "x";
    chmod(dir.file("ro.sql").c_str(), 0444);
    const std::wstring read_only = dir.wfile("ro.sql");
    const std::wstring in_locked = dir.wfile("new.sql");
    EXPECT_TRUE(test_support::run_unprivileged([&]() -> std::string {
        test_support::unprivileged_checks checks;
        checks.check(refusal([&] { common_check_dest(read_only); }) ==
                         "1:Destination name specifies an existing read-only file.",
                     "read-only file");
        checks.check(refusal([&] { common_check_dest(in_locked); }) ==
                         "1:Cannot create or write into the destination file.\nRun the program as "
                         "Administrator or change folder.",
                     "folder without write access");
        return checks.text();
    }));
}

// Only a regular file is replaced by the script: a device or a pipe named as the destination,
// itself or through a symbolic link, stays, and the run is refused. A link is never replaced:
// the checks apply to what it names.
TEST(Destination, OnlyARegularFileIsReplaced) {
    driver_env env;
    temp_dir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    mkdir(dir.file("folder").c_str(), 0755);
    std::ofstream(dir.file("target.sql")) << "keep";
    struct link_case {
        const char* name;
        const char* names;
        const char* expected;
    };
    const link_case cases[] = {
        {"pipe", nullptr,
         "1:Destination name specifies an existing file that is not a regular file."},
        {"to_pipe", "pipe",
         "1:Destination name specifies an existing file that is not a regular file."},
        {"to_folder", "folder", "1:Destination name should specify a file, not folder."},
        {"to_missing_folder", "missing/x.sql",
         "1:Destination path does not exist.\nPlease verify the correct path was given."},
        {"to_file", "target.sql", "accepted"},
        {"to_link", "to_file", "accepted"},
    };
    velmora_convertor converter;
    converter.direct = false;
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.names != nullptr) {
            ASSERT_EQ(symlink(c.names, dir.file(c.name).c_str()), 0);
        }
        converter.dest = dir.wfile(c.name);
        EXPECT_EQ(refusal([&] { converter.check_dest(); }), c.expected);
        EXPECT_EQ(c.names != nullptr, std::filesystem::is_symlink(dir.file(c.name)));
    }
    EXPECT_EQ(read_text(dir.file("target.sql")), "keep");
    EXPECT_EQ(std::filesystem::status(dir.file("pipe")).type(), std::filesystem::file_type::fifo);
}

} // namespace
