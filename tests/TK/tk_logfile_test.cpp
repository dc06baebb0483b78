// Tests of naming the log file through the converter: the checks, their order and what is kept.
#include "TK/tk_threa.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "tests/TK/tk_core_fixture.h"
#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tk_core_test::read_file;
using tk_core_test::temp_dir;
using tk_core_test::write_file;

class TkSetLogfile : public ::testing::Test {
protected:
    temp_dir dir;
    std::string first_log = dir.file("first.log");
};

// The message of the refusal, or "" when the name is accepted.
std::string refusal_of(tk_converter& converter, const std::string& name) {
    try {
        converter.set_logfile(name);
    } catch (const tk_exception& error) {
        EXPECT_EQ(error.level, 1);
        return error.message;
    }
    return "";
}

TEST_F(TkSetLogfile, NameThatPassesEnablesLoggingWithoutCreatingTheFile) {
    tk_logger logger(nullptr, false, 3, false);
    tk_converter converter;
    converter.set_logfile(first_log);
    EXPECT_EQ(converter.log_file, first_log);
    EXPECT_TRUE(logger.enabled());
    EXPECT_EQ(logger.log_path(), first_log);
    EXPECT_FALSE(std::filesystem::exists(first_log)) << "the checks create no file";

    tk_log_message(3, "first line");
    EXPECT_EQ(read_file(first_log), "first line\r\n");
}

TEST_F(TkSetLogfile, SecondNameAppendsWithoutEmptying) {
    tk_logger logger(nullptr, false, 3, false);
    tk_converter converter;
    write_file(first_log, "previous run\r\n");
    converter.set_logfile(first_log);
    tk_log_message(3, "one");
    EXPECT_EQ(read_file(first_log), "one\r\n");

    const std::string second_log = dir.file("second.log");
    write_file(second_log, "kept\r\n");
    converter.set_logfile(second_log);
    tk_log_message(3, "two");
    EXPECT_EQ(read_file(second_log), "kept\r\ntwo\r\n");
    EXPECT_EQ(read_file(first_log), "one\r\n");
}

TEST_F(TkSetLogfile, EmptyNameLeavesLoggingAsItWas) {
    tk_logger logger(nullptr, false, 1, false);
    tk_converter converter;
    converter.set_logfile(first_log);
    converter.set_logfile("");
    EXPECT_EQ(converter.log_file, "");
    EXPECT_TRUE(logger.enabled());
    EXPECT_EQ(logger.log_path(), first_log);
    EXPECT_EQ(read_file(first_log), "tk_convertor::set_logfile()\r\nFilename is empty\r\n");
}

TEST_F(TkSetLogfile, WithoutLoggerNothingIsStored) {
    tk_converter converter;
    converter.set_logfile(first_log);
    EXPECT_EQ(converter.log_file, "");
    EXPECT_FALSE(std::filesystem::exists(first_log));
}

TEST_F(TkSetLogfile, RefusedNameIsKeptByTheConverterButNotByTheLogger) {
    tk_logger logger(nullptr, false, 3, false);
    tk_converter converter;
    converter.set_logfile(first_log);
    const std::string missing = dir.file("missing/trace.log");
    EXPECT_EQ(refusal_of(converter, missing),
              "Logfile path does not exist.\nPlease verify the correct path was given.");
    EXPECT_EQ(converter.log_file, missing);
    EXPECT_EQ(logger.log_path(), first_log);
    EXPECT_TRUE(logger.enabled());
}

TEST_F(TkSetLogfile, RefusalsAsTheSuperUserSees) {
    tk_logger logger(nullptr, false, 3, false);
    tk_converter converter;
    const std::string read_only = dir.file("read-only.log");
    write_file(read_only, "");
    std::filesystem::permissions(read_only, std::filesystem::perms::owner_read |
                                                std::filesystem::perms::group_read |
                                                std::filesystem::perms::others_read);
    struct refusal_case {
        std::string label;
        std::string name;
        std::string message;
    };
    const refusal_case cases[] = {
        {"existing directory", dir.path().string(), "Logfile name specifies an existing path."},
        {"existing directory with a slash", dir.path().string() + "/",
         "Logfile name specifies an existing path."},
        {"file without any write permission", read_only,
         "Logfile name specifies an existing read-only file."},
        {"missing directory", dir.file("no/such/dir/trace.log"),
         "Logfile path does not exist.\nPlease verify the correct path was given."},
        {"a file taken for a directory", read_only + "/trace.log",
         "Logfile path does not exist.\nPlease verify the correct path was given."},
        {"name longer than any path", "/tmp/" + std::string(5000, 'x') + "/trace.log",
         "Logfile path does not exist.\nPlease verify the correct path was given."},
    };
    for (const refusal_case& test : cases) {
        SCOPED_TRACE(test.label);
        EXPECT_EQ(refusal_of(converter, test.name), test.message);
        EXPECT_EQ(converter.log_file, test.name);
        EXPECT_FALSE(logger.enabled());
    }
}

TEST_F(TkSetLogfile, RefusalsForAUserWithoutWriteAccessComeInTheirOrder) {
    namespace fs = std::filesystem;
    // The unprivileged user must reach the folder; inside it, `locked` is the super-user's and
    // refuses others to write, and `open` lets everyone write.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    const std::string locked = dir.file("locked");
    const std::string open = dir.file("open");
    fs::create_directory(locked);
    fs::create_directory(open);
    const std::string owner_only = locked + "/owner-only.log";
    write_file(owner_only, "");
    fs::permissions(owner_only, fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::others_read);
    fs::permissions(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(open, fs::perms::all);

    EXPECT_TRUE(test_support::run_unprivileged([&] {
        test_support::unprivileged_checks checks;
        tk_logger logger(nullptr, false, 3, false);
        tk_converter converter;
        struct refusal_case {
            std::string name;
            std::string message;
        };
        const refusal_case cases[] = {
            // A directory is refused as a path before any access test.
            {locked, tk_message(tk_msg_logfile_is_path)},
            // A file the user may not write is read-only to them, whatever its permission bits
            // grant its owner; that comes before the test of its directory.
            {owner_only, tk_message(tk_msg_logfile_read_only)},
            {locked + "/missing/trace.log", tk_message(tk_msg_logfile_path_missing)},
            {locked + "/trace.log", tk_message(tk_msg_logfile_no_privileges)},
        };
        for (const refusal_case& test : cases) {
            std::string message = "accepted";
            try {
                converter.set_logfile(test.name);
            } catch (const tk_exception& error) {
                message = error.message;
                checks.check(error.level == 1,
                             test.name + ": level " + std::to_string(error.level));
            }
            checks.check(message == test.message, test.name + ": " + message);
            checks.check(converter.log_file == test.name, test.name + ": name not kept");
            checks.check(!logger.enabled(), test.name + ": logging enabled");
        }
        checks.check(!fs::exists(locked + "/trace.log"), "the refusal created the file");

        const std::string accepted = open + "/trace.log";
        converter.set_logfile(accepted);
        checks.check(logger.enabled() && logger.log_path() == accepted, "open folder refused");
        tk_log_message(3, "written by the unprivileged user");
        checks.check(read_file(accepted) == "written by the unprivileged user\r\n",
                     "line not written: " + read_file(accepted));
        return checks.text();
    }));
}

} // namespace

// The log follows a link as the kernel would in a shared sticky folder, and then writes the file
// the link named without following a link again: a link another user put there, or puts there
// later, never makes the log empty or fill another file.
TEST(TkLogfileLinks, ALogIsWrittenOnlyWhereTheKernelsLinkRuleLeadsIt) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give links to another user";
    }
    temp_dir dir;
    const std::string secret = dir.file("secret");
    write_file(secret, "root's own\n");
    const std::string shared = dir.file("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string theirs = shared + "/theirs.log";
    ASSERT_EQ(symlink(secret.c_str(), theirs.c_str()), 0);
    ASSERT_EQ(lchown(theirs.c_str(), test_support::unprivileged_uid, 0), 0);
    const std::string mine = shared + "/mine.log";
    ASSERT_EQ(symlink(dir.file("trace.log").c_str(), mine.c_str()), 0);

    tk_logger logger(nullptr, false, 3, false);
    tk_converter converter;
    EXPECT_NE(refusal_of(converter, theirs).find("is not followed"), std::string::npos);
    EXPECT_FALSE(logger.enabled());
    tk_log_message(3, "line");
    EXPECT_EQ(read_file(secret), "root's own\n");

    converter.set_logfile(mine);
    EXPECT_EQ(logger.log_path(), dir.file("trace.log"));
    tk_log_message(3, "first");
    // The name the link gave is now a link of another user: the log is not written through it.
    std::filesystem::remove(dir.file("trace.log"));
    ASSERT_EQ(symlink(secret.c_str(), dir.file("trace.log").c_str()), 0);
    testing::internal::CaptureStderr();
    tk_log_message(3, "second");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot write the trace log"),
              std::string::npos);
    EXPECT_EQ(read_file(secret), "root's own\n");

    // A log of another user would hand them the trace: refused when named, and kept as it was.
    const std::string their_log = dir.file("their.log");
    write_file(their_log, "their own\n");
    ASSERT_EQ(chown(their_log.c_str(), test_support::unprivileged_uid, 0), 0);
    EXPECT_EQ(refusal_of(converter, their_log),
              "The log file " + their_log + " belongs to another user.");
    EXPECT_EQ(read_file(their_log), "their own\n");
}

// The log empties its file: it is never a file the run reads its settings from, whichever of
// the two is named first, also through a link or a hard link.
TEST(TkLogfileInputs, ALogThatIsAnInputFileIsRefusedAndWritesNothing) {
    temp_dir dir;
    const std::string list = dir.file("tables.txt");
    write_file(list, "dbo.a\n");
    ASSERT_EQ(symlink(list.c_str(), dir.file("link.log").c_str()), 0);
    ASSERT_EQ(link(list.c_str(), dir.file("hard.log").c_str()), 0);
    for (const std::string& log : {list, dir.file("link.log"), dir.file("hard.log")}) {
        SCOPED_TRACE(log);
        {
            tk_logger logger(nullptr, false, 3, false);
            tk_converter converter;
            logger.note_input(list, "table-list");
            const std::string message = refusal_of(converter, log);
            EXPECT_NE(message.find("is the table-list file " + list), std::string::npos) << message;
            EXPECT_FALSE(logger.enabled());
        }
        {
            tk_logger logger(nullptr, false, 3, false);
            tk_converter converter;
            logger.hold();
            converter.set_logfile(log);
            tk_log_message(3, "held line");
            EXPECT_THROW(logger.note_input(list, "profile"), tk_exception);
            EXPECT_FALSE(logger.enabled());
            logger.release(false);
        }
        EXPECT_EQ(read_file(list), "dbo.a\n");
    }
}
