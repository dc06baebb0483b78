// The command line of pontrel, judged before any server is reached: usage text, refused values,
// missing names and files, the trace log and profiles that cannot be used.
#include "tests/agent/agent_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using agent_test::read_file;
using agent_test::run_pontrel;
using agent_test::temp_dir;

constexpr int exit_failed = 255; // an exit with -1 as the shell sees it

const char usage_head[] = "pontrel v8.3\nUsage: pontrel OPTIONS\n";

TEST(PontrelOptions, UsageTextForNoArgumentsHelpAndUnknownOptions) {
    temp_dir dir;
    const std::vector<std::vector<std::string>> command_lines = {
        {},
        {"--help"},
        {"--src=a", "--dest=b", "--help", "--silent"}, // --help ends before later options
        {"--src=a", "--dest=b", "--unknown"},
        {"--src=a", "--dest=b", "-dump"}, // one hyphen
        {"--src=a", "--dest=b", "dump"},  // none
        {"--SRC=a", "--dest=b"},          // another case
    };
    for (const auto& args : command_lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        const auto result = run_pontrel(args, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind(usage_head, 0), 0u) << result.err;
        EXPECT_NE(result.err.find("   --views        convert MS SQL views into MySQL\n"),
                  std::string::npos);
        EXPECT_NE(result.err.find("(for example --dest=\"my database\")\n"), std::string::npos);
    }
}

TEST(PontrelOptions, SilentKeepsTheUsageTextOffWhereverItStands) {
    temp_dir dir;
    const std::vector<std::vector<std::string>> command_lines = {
        {"--silent", "--bogus"},
        {"--bogus", "--silent"}, // unrecognised arguments are judged after the walk
        {"--silent", "--help"},
        {"--silent", "--mode=7"},
        {"--silent", "--src=a"},
        {"--silent", "--src=a", "--dest=b", "--tab_file=missing.txt"},
    };
    for (const auto& args : command_lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        const auto result = run_pontrel(args, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST(PontrelOptions, RefusedModesEndTheProgram) {
    temp_dir dir;
    for (const std::string value : {"03", "3x", " 3", "5", "-1", "", "4294967299", "+3"}) {
        SCOPED_TRACE("--mode=" + value);
        const auto result = run_pontrel({"--src=a", "--dest=b", "--mode=" + value}, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.err, "Invalid merge/overwrite mode\n");
    }
}

TEST(PontrelOptions, MissingNamesAndTableListsEndTheProgram) {
    temp_dir dir;
    mkdir(dir.file("folder").c_str(), 0700);
    dir.write("blank.txt", "\n\r\n\n");
    struct case_t {
        std::vector<std::string> args;
        const char* message;
    };
    const case_t cases[] = {
        {{"--dest=b"}, "You should enter source MS SQL database name\n"},
        {{"--src=", "--dest=b"}, "You should enter source MS SQL database name\n"},
        {{"--src=a"}, "You should enter destination MySQL database or dump file name\n"},
        {{"--src=a", "--dest=b", "--tab_file=missing.txt"},
         "Table names file does not exist.\nPlease verify the correct path/name was given.\n"},
        {{"--src=a", "--dest=b", "--tab_file=folder"},
         "Table names file cannot be read: folder: the path names a directory, not a file\n"},
        // A device reports no size: the bytes are counted as they are read.
        {{"--src=a", "--dest=b", "--tab_file=/dev/zero"},
         "Table names file cannot be read: /dev/zero: the file is larger than 64 MiB\n"},
        // A list that came out empty (a command that printed nothing) selects no table; read as
        // no list at all it converted every table, mode 0 dropping the database first.
        {{"--src=a", "--dest=b", "--tab_file=blank.txt"},
         "Table names file lists no table: blank.txt\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto result = run_pontrel(c.args, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.message);
    }
}

// These names are written into CREATE TABLE statements: anything but a word is refused before
// any server is reached.
TEST(PontrelOptions, CharsetAndEngineAcceptOnlyWords) {
    temp_dir dir;
    struct case_t {
        std::string option;
        const char* message;
    };
    const case_t cases[] = {
        {"--charset=utf8mb4; DROP DATABASE x",
         "Invalid MySQL character set: utf8mb4; DROP DATABASE x\n"},
        {"--charset=", "Invalid MySQL character set: \n"},
        {"--charset=latin1 ", "Invalid MySQL character set: latin1 \n"},
        {"--engine=InnoDB COMMENT 'x'", "Invalid MySQL storage engine: InnoDB COMMENT 'x'\n"},
        {"--engine=", "Invalid MySQL storage engine: \n"},
        {"--engine=Inno-DB", "Invalid MySQL storage engine: Inno-DB\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.option);
        const auto result = run_pontrel({"--src=a", "--dest=b", c.option}, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.err, c.message);
    }
}

TEST(PontrelOptions, RefusedLogFileEndsTheProgramWithItsError) {
    temp_dir dir;
    mkdir(dir.file("folder").c_str(), 0700);
    struct case_t {
        std::string option;
        const char* text;
    };
    const case_t cases[] = {
        {"--logfile=" + dir.file("folder"), "Logfile name specifies an existing path."},
        {"--logfile=" + dir.file("nowhere/trace.log"),
         "Logfile path does not exist. Please verify the correct path was given."},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.option);
        const auto result = run_pontrel({c.option, "--src=a", "--dest=b"}, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out, std::string("Error:\n") + c.text + "\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST(PontrelOptions, LogFileReceivesTheTraceOfTheRun) {
    temp_dir dir;
    const std::string log = dir.file("trace.log");
    const auto result =
        run_pontrel({"--logfile=" + log, "--src=a", "--dest=b", "--mode=9"}, dir.path());
    EXPECT_EQ(result.exit_code, exit_failed);
    EXPECT_NE(read_file(log).find("Invalid merge/overwrite mode"), std::string::npos)
        << read_file(log);

    // A refused command line adds its lines to an existing log and keeps what the log held.
    dir.write("trace.log", "earlier run\n");
    run_pontrel({"--logfile=" + log, "--src=a", "--dest=b", "--no_such_option"}, dir.path());
    EXPECT_EQ(read_file(log).rfind("earlier run\n", 0), 0u) << read_file(log);
    run_pontrel({"--logfile=" + log, "--src=a", "--dest=b", "--mode=9"}, dir.path());
    EXPECT_EQ(read_file(log).rfind("earlier run\n", 0), 0u) << read_file(log);
    // A command line that is taken empties it.
    run_pontrel({"--logfile=" + log, "--src=a", "--dest=b", "--mssqlh=127.0.0.1,1"}, dir.path());
    EXPECT_EQ(read_file(log).find("earlier run"), std::string::npos) << read_file(log);
}

TEST(PontrelOptions, NoServerNamedMeansTheLocalDefaultInstance) {
    // The usage text promises that --mssqlh= may be omitted; nothing listens on this machine's
    // port 1433, so the run ends at the connection and says where it tried.
    temp_dir dir;
    const auto result =
        run_pontrel({"--src=a", "--dump", "--dest=" + dir.file("a.sql"), "--mssqlu=sa",
                     "--mssqlp=x"},
                    dir.path());
    EXPECT_EQ(result.exit_code, exit_failed);
    const std::string said = result.out + result.err;
    EXPECT_NE(said.find("Cannot connect to the server \"(local)\""), std::string::npos) << said;
    EXPECT_EQ(said.find("No server was named"), std::string::npos) << said;
}

TEST(PontrelOptions, ProfileThatCannotBeUsedEndsTheProgram) {
    temp_dir dir;
    const auto missing = run_pontrel({"--profile=" + dir.file("none.vlm")}, dir.path());
    EXPECT_EQ(missing.exit_code, exit_failed);
    EXPECT_EQ(missing.out,
              "Error:\nProfile does not exist. Please verify the correct path/name was given.\n");

    // A profile whose type mappings break their grammar applies only in part; running on would
    // convert with half of the user's settings.
    const std::string broken = dir.write("broken.vlm", "[Generic settings]\n"
                                                       "src=velmora_agent\n"
                                                       "dest=agent_broken\n"
                                                       "[Type Mappings]\n"
                                                       "database:\n"
                                                       "tables:\n"
                                                       "  - name: [dbo].[customers]\n"
                                                       "      - name:id\n");
    const auto result = run_pontrel({"--profile=" + broken}, dir.path());
    EXPECT_EQ(result.exit_code, exit_failed);
    EXPECT_EQ(result.err, "Cannot apply the profile " + broken +
                              ": the file cannot be read, or its Type Mappings section is "
                              "malformed\n");
}

} // namespace
