// The files around a run of pontrel that it does not own: a user's file with the lock's name,
// another run's lock, links another user put in a shared folder, the inputs the trace log must
// not empty, pipes and profiles read as what they are, and what a killed run left behind.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"
#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using agent_test::read_file;
using agent_test::run_result;
using agent_test::temp_dir;

constexpr int exit_failed = 255;
constexpr const char* slow_select = "SELECT * FROM [dbo].[b_slow]";
constexpr const char* completion = "# Script complete\r\n";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class RunFiles : public agent_test::tds_suite<RunFiles> {
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
        std::vector<std::string> all = {"--mssqlh=" + mssql_host(), "--mssqlu=sa",
                                        "--mssqlp=Velmora-Pw1", "--src=velmora_stop"};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    std::vector<std::string> script_args(const std::string& dest,
                                         std::vector<std::string> extra = {}) const {
        std::vector<std::string> all = args({"--dump", "--dest=" + dest});
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    // A profile of a script run into `dest` with the MS SQL password `password`; `extra` is
    // added to its generic settings.
    std::string profile_text(const std::string& password, const std::string& dest,
                             const std::string& extra = "") const {
        return "[MS SQL Server settings]\r\nserver=" + mssql_host() +
               "\r\nlogin=sa\r\npassword=" + password +
               "\r\nwindows authentication=0\r\n[MySQL settings]\r\ndirect mode=0\r\n"
               "[Generic settings]\r\nsrc=velmora_stop\r\ndest=" +
               dest + "\r\n" + extra;
    }

    static void hold_middle_table() {
        server->pause_after_rows(slow_select, 10, std::chrono::milliseconds(2500));
    }
    static bool wait_for_middle_table() {
        for (int i = 0; i < 2000; ++i) {
            for (const std::string& statement : server->statements()) {
                if (contains(statement, slow_select)) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::vector<std::string> files_in(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name != ".pontrel.out" && name != ".pontrel.err" && name != "config") {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// A user's own file with the lock's name is neither taken as a lock nor deleted, and a run
// whose script path is another run's live lock is refused: the other run's lock and script stay.
TEST_F(RunFiles, LockFilesAreOnlyTheRunsOwn) {
    {
        SCOPED_TRACE("a user's file named as the lock");
        const std::string notes = dir.write("report.sql.lock", "my notes\n");
        const std::string script = dir.write("report.sql", "old script\n");
        const run_result result = agent_test::run_pontrel(script_args(script), dir.path());
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_TRUE(contains(result.out, "is taken by a file this program did not make"))
            << result.out;
        EXPECT_EQ(read_file(notes), "my notes\n");
        EXPECT_EQ(read_file(script), "old script\n");
    }
    {
        SCOPED_TRACE("a script path that is another run's lock");
        temp_dir place;
        hold_middle_table();
        const std::string script = place.file("a.sql");
        const auto first = agent_test::start_pontrel(script_args(script), dir.path());
        ASSERT_TRUE(wait_for_middle_table());
        temp_dir other;
        const run_result second =
            agent_test::run_pontrel(script_args(script + ".lock"), other.path());
        EXPECT_EQ(second.exit_code, exit_failed) << second.out << second.err;
        EXPECT_TRUE(contains(second.out, "is the lock file of another run")) << second.out;
        const run_result result = agent_test::wait_pontrel(first);
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        EXPECT_TRUE(read_file(script).ends_with(completion));
        EXPECT_EQ(files_in(place.path()), std::vector<std::string>{"a.sql"});
    }
}

// A killed run cannot clear up: the next run of that script removes the killed run's lock and
// temporary script, and a live run's stay untouched.
TEST_F(RunFiles, AKilledRunsLeftoversAreClearedByTheNextRun) {
    hold_middle_table();
    const std::string script = dir.write("out.sql", "old script\n");
    const auto killed = agent_test::start_pontrel(script_args(script), dir.path());
    ASSERT_TRUE(wait_for_middle_table());
    ASSERT_EQ(kill(killed.pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(killed.pid, &status, 0), killed.pid);
    const std::string temp = ".out.sql." + std::to_string(killed.pid) + "-0.tmp";
    ASSERT_EQ(files_in(dir.path()), (std::vector<std::string>{temp, "out.sql", "out.sql.lock"}));
    EXPECT_EQ(read_file(script), "old script\n");

    SetUp();
    const run_result result = agent_test::run_pontrel(script_args(script), dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(read_file(script).ends_with(completion));
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"out.sql"});
}

// As root, a link another user put in a shared sticky folder is not followed, neither as the
// script nor as the trace log: the root-owned file it names keeps its content. A link of the
// caller there, and a hard link, are used as before.
TEST_F(RunFiles, LinksOfOtherUsersInSharedFoldersAreNotFollowed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give links to another user";
    }
    const std::string secret = dir.write("secret", "root's own\n");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const std::string shared = dir.file("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string theirs = shared + "/theirs";
    ASSERT_EQ(symlink(secret.c_str(), theirs.c_str()), 0);
    ASSERT_EQ(lchown(theirs.c_str(), test_support::unprivileged_uid, 0), 0);

    for (const auto& run_args :
         {script_args(theirs), script_args(dir.file("out.sql"), {"--logfile=" + theirs})}) {
        const run_result result = agent_test::run_pontrel(run_args, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_TRUE(contains(result.out, "' is not followed: it is in the shared folder"))
            << result.out;
        EXPECT_EQ(read_file(secret), "root's own\n");
        EXPECT_TRUE(std::filesystem::is_symlink(theirs));
    }

    const std::string mine = shared + "/mine";
    ASSERT_EQ(symlink(dir.file("mine.sql").c_str(), mine.c_str()), 0);
    const std::string hard = shared + "/hard";
    ASSERT_EQ(link(secret.c_str(), hard.c_str()), 0);
    for (const std::string& dest : {mine, hard}) {
        const run_result result = agent_test::run_pontrel(script_args(dest), dir.path());
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        EXPECT_TRUE(read_file(dest).ends_with(completion));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(mine));
    EXPECT_EQ(read_file(secret), "root's own\n");
}

// The same rule holds at every step of a path: a link another user put in a shared sticky
// folder is not followed where it stands on the way to a folder, nor when it is reached through
// a link of that user's own folder or after a "..". Script, trace log (also a profile's
// `logfile=`), table list and profile are all refused, and the root-only files stay as they were.
TEST_F(RunFiles, LinksOfOtherUsersAnywhereOnThePathAreNotFollowed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give links to another user";
    }
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string rootonly = dir.file("rootonly");
    std::filesystem::create_directory(rootonly);
    ASSERT_EQ(chmod(rootonly.c_str(), 0700), 0);
    const std::map<std::string, std::string> victims = {
        {"victim.sql", "root's script\n"},
        {"victim.log", "root's log\n"},
        {"list.txt", "dbo.a_first\n"},
        {"prof.vlm", profile_text("Velmora-Pw1", dir.file("out.sql"))},
    };
    for (const auto& [name, text] : victims) {
        dir.write("rootonly/" + name, text);
        ASSERT_EQ(chmod((rootonly + "/" + name).c_str(), 0600), 0);
    }
    const std::string shared = dir.file("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::filesystem::create_directory(dir.file("plain"));
    ASSERT_EQ(symlink((shared + "/d").c_str(), dir.file("plain/via").c_str()), 0);
    // The other user plants the links, as they could on any machine.
    ASSERT_TRUE(test_support::run_unprivileged([&] {
        test_support::unprivileged_checks checks;
        checks.check(symlink(rootonly.c_str(), (shared + "/d").c_str()) == 0, "link d");
        checks.check(mkdir((shared + "/n").c_str(), 0755) == 0, "folder n");
        checks.check(symlink("../d", (shared + "/n/up").c_str()) == 0, "link n/up");
        return checks.text();
    }));

    const std::string profile_logs =
        dir.write("logs.vlm", profile_text("Velmora-Pw1", dir.file("out.sql"),
                                           "logfile=" + shared + "/d/victim.log\r\n"));
    const std::string out = dir.file("out.sql");
    for (const std::string& via : {shared + "/d", shared + "/n/up", dir.file("plain/via"),
                                   shared + "/n/../d", shared + "/d/../rootonly"}) {
        const std::vector<std::vector<std::string>> runs = {
            script_args(via + "/victim.sql"),
            script_args(out, {"--logfile=" + via + "/victim.log"}),
            script_args(out, {"--tab_file=" + via + "/list.txt"}),
            {"--profile=" + via + "/prof.vlm"},
            {"--profile=" + profile_logs},
        };
        for (const auto& run_args : runs) {
            SCOPED_TRACE(run_args.back());
            const run_result result = agent_test::run_pontrel(run_args, dir.path());
            EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
            EXPECT_TRUE(contains(result.out, "' is not followed: it is in the shared folder"))
                << result.out;
            for (const auto& [name, text] : victims) {
                const std::string victim = rootonly + "/" + name;
                struct stat st {};
                ASSERT_EQ(stat(victim.c_str(), &st), 0);
                EXPECT_EQ(read_file(victim), text) << name;
                EXPECT_EQ(st.st_uid, 0u) << name;
                EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
            }
            EXPECT_FALSE(std::filesystem::exists(out));
        }
    }
}

// The trace log empties its file: a log that is the table list or the profile is refused, in
// either order on the command line, and the file keeps what it held.
TEST_F(RunFiles, ALogThatIsAnInputFileIsRefused) {
    const std::string list = dir.write("tables.txt", "dbo.a_first\n");
    const std::string script = dir.file("out.sql");
    const std::string self = dir.file("self.vlm");
    dir.write("self.vlm", profile_text("Velmora-Pw1", script, "logfile=" + self + "\r\n"));
    const std::string profile_kept = read_file(self);
    const struct {
        std::vector<std::string> args;
        std::string file;
        std::string kept;
    } cases[] = {
        {script_args(script, {"--logfile=" + list, "--tab_file=" + list}), list, "dbo.a_first\n"},
        {script_args(script, {"--tab_file=" + list, "--logfile=" + list}), list, "dbo.a_first\n"},
        {{"--profile=" + self}, self, profile_kept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const run_result result = agent_test::run_pontrel(c.args, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_TRUE(contains(result.out, "which the log would empty")) << result.out;
        EXPECT_EQ(read_file(c.file), c.kept);
        EXPECT_FALSE(std::filesystem::exists(script));
    }
}

// A named pipe as the table list is read to its end: a writer that comes late still limits the
// run to the tables it lists.
TEST_F(RunFiles, ATableListFromAPipeIsReadWhole) {
    const std::string pipe = dir.file("tables");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::string script = dir.file("out.sql");
    const auto run =
        agent_test::start_pontrel(script_args(script, {"--tab_file=" + pipe}), dir.path());
    // The writer comes late, and only while a reader has the pipe open.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int fd = -1;
    for (int i = 0; i < 1000 && fd < 0; ++i) {
        fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (fd >= 0) {
        EXPECT_EQ(write(fd, "dbo.a_first\n", 12), 12);
        close(fd);
    }
    const run_result result = agent_test::wait_pontrel(run);
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::string text = read_file(script);
    EXPECT_TRUE(contains(text, "INSERT INTO `dbo.a_first`"));
    EXPECT_FALSE(contains(text, "`dbo.c_last`")) << "every table was converted";
}

// A profile's values are text: a NUL (which would cut the password short) and bytes that are
// not UTF-8 (which would name the script with U+FFFD) are refused naming the key; an editor's
// byte-order mark is skipped.
TEST_F(RunFiles, ProfileValuesAreReadAsWhatTheyAre) {
    const std::string script = dir.file("out.sql");
    const struct {
        std::string text;
        std::string said; // empty: the run succeeds
    } cases[] = {
        {profile_text(std::string("Velmora-Pw1\0zz", 14), script),
         "the value of 'password' in [MS SQL Server settings] holds a NUL byte."},
        {profile_text("Velmora-Pw1", dir.file("a\xFF.sql")),
         "the value of 'dest' in [Generic settings] is not valid UTF-8."},
        {"\xEF\xBB\xBF" + profile_text("Velmora-Pw1", script), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        const std::string profile = dir.write("p.vlm", c.text);
        const run_result result = agent_test::run_pontrel({"--profile=" + profile}, dir.path());
        if (c.said.empty()) {
            EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
            EXPECT_TRUE(read_file(script).ends_with(completion));
            continue;
        }
        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_TRUE(contains(result.out, "Cannot read the profile " + profile + ": " + c.said))
            << result.out;
        EXPECT_FALSE(std::filesystem::exists(script));
        EXPECT_FALSE(std::filesystem::exists(dir.file("a\xEF\xBF\xBD.sql")));
    }
}

} // namespace
