// Runs of pontrel that do not end well (a signal, a file-size limit, a second run on the same
// script) and script paths that are links: a script stands at its path only when it is whole,
// and nothing but the file a link names is ever replaced.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using agent_test::mysql_client;
using agent_test::read_file;
using agent_test::run_result;
using agent_test::temp_dir;

constexpr int exit_failed = 255;
constexpr const char* slow_select = "SELECT * FROM [dbo].[b_slow]";
constexpr const char* completion = "# Script complete\r\n";

class ScriptSafety : public agent_test::tds_suite<ScriptSafety> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/interrupt.tds"};
    }

protected:
    void SetUp() override {
        server->clear_faults();
        server->clear_statements();
    }

    std::vector<std::string> args(std::vector<std::string> extra) const {
        std::vector<std::string> all = {"--mssqlh=127.0.0.1," + std::to_string(server->port()),
                                        "--mssqlu=sa", "--mssqlp=Velmora-Pw1",
                                        "--src=velmora_stop"};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    std::vector<std::string> script_args(const std::string& dest) const {
        return args({"--dump", "--dest=" + dest});
    }

    // Holds the rows of the middle table back long enough for a test to act on a run that is
    // in the middle of it.
    static void hold_middle_table() {
        server->pause_after_rows(slow_select, 10, std::chrono::milliseconds(2500));
    }
    // Returns once the server has received the middle table's SELECT (false after 20 s).
    static bool wait_for_middle_table() {
        for (int i = 0; i < 2000; ++i) {
            for (const std::string& statement : server->statements()) {
                if (statement.find(slow_select) != std::string::npos) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The names in the test folder other than pontrel's own output and settings.
    std::vector<std::string> files_left() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name != ".pontrel.out" && name != ".pontrel.err" && name != "config") {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ScriptSafety, WholeRunPutsACompleteScriptInPlace) {
    const std::string script = dir.write("out.sql", "old script\n");
    const run_result result = agent_test::run_pontrel(script_args(script), dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::string text = read_file(script);
    EXPECT_TRUE(text.ends_with(completion));
    EXPECT_NE(text.find("INSERT INTO `dbo.c_last`"), std::string::npos);
    EXPECT_EQ(files_left(), std::vector<std::string>{"out.sql"});
}

// A signal in the middle of a table: the run ends as an Abort ends it, the script that was
// there stays, no temporary or lock file is left, and the exit code says it failed.
TEST_F(ScriptSafety, SignalMidTableLeavesNoScript) {
    struct signal_case {
        int signal;
        const char* name;
        bool old_script;
    };
    for (const signal_case& c :
         {signal_case{SIGINT, "SIGINT", true}, signal_case{SIGTERM, "SIGTERM", false},
          signal_case{SIGHUP, "SIGHUP", true}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        hold_middle_table();
        const std::string script = dir.file("out.sql");
        std::filesystem::remove(script);
        if (c.old_script) {
            dir.write("out.sql", "old script\n");
        }
        const auto process = agent_test::start_pontrel(script_args(script), dir.path());
        ASSERT_TRUE(wait_for_middle_table());
        kill(process.pid, c.signal);
        const run_result result = agent_test::wait_pontrel(process);
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_NE(result.err.find(std::string("interrupted (") + c.name + ")"), std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("No script was written."), std::string::npos) << result.err;
        EXPECT_EQ(result.out.find("dbo.c_last"), std::string::npos) << "the run went on";
        if (c.old_script) {
            EXPECT_EQ(read_file(script), "old script\n");
            EXPECT_EQ(files_left(), std::vector<std::string>{"out.sql"});
        } else {
            EXPECT_TRUE(files_left().empty());
        }
    }
}

// A trace log that can no longer be written mid-run (here its name becomes a folder; a full disk
// alike) is reported once, and the run that lost part of its trace does not end as clean.
TEST_F(ScriptSafety, TraceLogWriteFailureFailsTheRun) {
    hold_middle_table();
    const std::string script = dir.file("out.sql");
    const std::string log = dir.file("trace.log");
    std::vector<std::string> run_args = script_args(script);
    run_args.push_back("--logfile=" + log);
    const auto process = agent_test::start_pontrel(run_args, dir.path());
    ASSERT_TRUE(wait_for_middle_table());
    std::filesystem::remove(log);
    std::filesystem::create_directory(log);
    const run_result result = agent_test::wait_pontrel(process);
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.err.find("Cannot write the trace log " + log + ": Is a directory"),
              std::string::npos)
        << result.err;
    // The conversion itself went through.
    EXPECT_TRUE(read_file(script).ends_with(completion));
}

// The source lost in the middle of a table: a script that would lack the table's later rows is
// never put in place (the run ends there), and a server's table keeps the rows that arrived,
// with a message that says how many. Without the fault the same run writes a whole script that
// the mariadb client replays.
TEST_F(ScriptSafety, LostSourceMidTableCutsNoScriptShort) {
    server->drop_connection_after_rows(slow_select, 300);
    const std::string script = dir.write("out.sql", "old script\n");
    run_result result = agent_test::run_pontrel(script_args(script), dir.path());
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("Error:\ndbo.b_slow: "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("dbo.c_last"), std::string::npos) << "the run went on";
    EXPECT_NE(result.err.find("No script was written."), std::string::npos) << result.err;
    EXPECT_EQ(read_file(script), "old script\n");
    EXPECT_EQ(files_left(), std::vector<std::string>{"out.sql"});

    mysql_client db;
    ASSERT_TRUE(db.connected());
    db.exec("DROP DATABASE IF EXISTS agent_lost_source");
    std::vector<std::string> run_args = args(db.pontrel_args());
    run_args.push_back("--dest=agent_lost_source");
    result = agent_test::run_pontrel(run_args, dir.path());
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.out.find("The rows up to record #300 are in the table; later ones were not "
                              "copied."),
              std::string::npos)
        << result.out;
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM agent_lost_source.`dbo.b_slow`"),
              std::vector<agent_test::row>{{"300"}});

    server->clear_faults();
    result = agent_test::run_pontrel(script_args(script), dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(read_file(script).ends_with(completion));
    db.exec("DROP DATABASE agent_lost_source");
    db.exec("CREATE DATABASE agent_lost_source CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "agent_lost_source", script), "");
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM agent_lost_source.`dbo.b_slow`"),
              std::vector<agent_test::row>{{"400"}});
    db.exec("DROP DATABASE agent_lost_source");
}

// The source lost before a table's first row (while it is counted, or at its first fetch): the
// script would lack that table whole, so it is given up as one cut short in the middle.
TEST_F(ScriptSafety, LostSourceBeforeTheFirstRowCutsNoScriptShort) {
    for (const char* statement : {"SELECT COUNT_BIG(*) FROM [dbo].[b_slow]", slow_select}) {
        SCOPED_TRACE(statement);
        const std::string script = dir.write("out.sql", "old script\n");
        server->clear_faults();
        server->drop_connection_after_rows(statement, 0);
        const run_result result = agent_test::run_pontrel(script_args(script), dir.path());
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_NE(result.out.find("Error:\ndbo.b_slow: "), std::string::npos) << result.out;
        EXPECT_NE(result.err.find("No script was written."), std::string::npos) << result.err;
        EXPECT_EQ(read_file(script), "old script\n");
        EXPECT_EQ(files_left(), std::vector<std::string>{"out.sql"});
    }
}

// Without SIGXFSZ ignored the limit killed pontrel silently; now the write fails with its
// reason, and the script that stood there stays.
TEST_F(ScriptSafety, FileSizeLimitIsAReportedWriteError) {
    const std::string script = dir.write("out.sql", "old script\n");
    const auto process = agent_test::start_pontrel(script_args(script), dir.path(), {}, 8192);
    const run_result result = agent_test::wait_pontrel(process);
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find("File too large"), std::string::npos)
        << result.out << result.err;
    EXPECT_NE(result.err.find("No script was written."), std::string::npos) << result.err;
    EXPECT_EQ(read_file(script), "old script\n");
    EXPECT_EQ(files_left(), std::vector<std::string>{"out.sql"});
}

// Two runs on one script path: the second is refused while the first writes, and the first
// still puts its whole script in place.
TEST_F(ScriptSafety, SecondRunOnTheSameScriptIsRefused) {
    hold_middle_table();
    const std::string script = dir.file("out.sql");
    const auto first = agent_test::start_pontrel(script_args(script), dir.path());
    ASSERT_TRUE(wait_for_middle_table());

    temp_dir other;
    const run_result second = agent_test::run_pontrel(script_args(script), other.path());
    EXPECT_EQ(second.exit_code, exit_failed) << second.out << second.err;
    EXPECT_NE(second.out.find("is being written by another run (lock file '" + script + ".lock')"),
              std::string::npos)
        << second.out << second.err;

    const run_result result = agent_test::wait_pontrel(first);
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(read_file(script).ends_with(completion));
    EXPECT_EQ(files_left(), std::vector<std::string>{"out.sql"});
}

// A destination that is a symbolic link stays a link; what it names is checked and replaced
// as the destination itself would be.
TEST_F(ScriptSafety, LinkedDestinationReplacesOnlyARegularTarget) {
    struct link_case {
        const char* what;
        void (*make_target)(const std::string& path);
        bool accepted;
    };
    const link_case cases[] = {
        {"regular file", [](const std::string& p) { std::ofstream(p) << "old script\n"; }, true},
        {"missing file", [](const std::string&) {}, true}, // a dangling link
        {"fifo", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, false},
        {"folder", [](const std::string& p) { std::filesystem::create_directory(p); }, false},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir place;
        const std::string target = place.file("target");
        c.make_target(target);
        const std::string link = place.file("link.sql");
        ASSERT_EQ(symlink("target", link.c_str()), 0);
        const run_result result = agent_test::run_pontrel(script_args(link), dir.path());
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_EQ(std::filesystem::read_symlink(link), "target");
        if (c.accepted) {
            EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
            EXPECT_TRUE(std::filesystem::is_regular_file(target));
            EXPECT_TRUE(read_file(target).ends_with(completion));
        } else {
            EXPECT_EQ(result.exit_code, exit_failed);
            EXPECT_NE(result.out.find("Destination name"), std::string::npos) << result.out;
            EXPECT_FALSE(std::filesystem::is_regular_file(target));
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(place.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        const std::vector<std::string> expected{"link.sql", "target"};
        EXPECT_EQ(names, expected) << "no temporary or lock file is left";
    }
}

// Into a server the same stop ends the run after the rows already written, with exit 255.
TEST_F(ScriptSafety, SignalStopsAServerRunAfterTheRowsDone) {
    mysql_client db;
    ASSERT_TRUE(db.connected());
    db.exec("DROP DATABASE IF EXISTS agent_stopped");
    hold_middle_table();
    std::vector<std::string> run_args = args(db.pontrel_args());
    run_args.push_back("--dest=agent_stopped");
    const auto process = agent_test::start_pontrel(run_args, dir.path());
    ASSERT_TRUE(wait_for_middle_table());
    kill(process.pid, SIGTERM);
    const run_result result = agent_test::wait_pontrel(process);
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_NE(result.err.find("interrupted (SIGTERM)"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("No script"), std::string::npos) << result.err;
    const auto first = db.query("SELECT COUNT(*) FROM agent_stopped.`dbo.a_first`");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0][0], "3");
    const auto slow = db.query("SELECT COUNT(*) FROM agent_stopped.`dbo.b_slow`");
    ASSERT_EQ(slow.size(), 1u);
    EXPECT_LT(std::stoi(*slow[0][0]), 400);
    // The message says which table was cut short and how much of it arrived.
    const std::string arrived = *slow[0][0] == "0"
                                    ? "No row of this table was copied."
                                    : "The rows up to record #" + *slow[0][0] +
                                          " are in the table; later ones were not copied.";
    EXPECT_NE(result.err.find("dbo.b_slow: " + arrived), std::string::npos) << result.err;
    EXPECT_TRUE(db.query("SELECT 1 FROM information_schema.tables WHERE table_schema = "
                         "'agent_stopped' AND table_name = 'dbo.c_last'")
                    .empty());
    db.exec("DROP DATABASE IF EXISTS agent_stopped");
}

} // namespace
