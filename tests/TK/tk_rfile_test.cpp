// Tests of the file that replaces its destination only when whole, its lock, the following of
// links, and the cleanups of a process that ends at once.
#include "TK/tk_rfile.h"

#include "TK/tk_excep.h"
#include "TK/tk_exitc.h"
#include "TK/tk_stop.h"
#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class tk_rfile_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tk-rfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name), std::ios::binary) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            all.push_back(entry.path().filename().string());
        }
        std::sort(all.begin(), all.end());
        return all;
    }
    static std::string refusal(const std::string& path) {
        try {
            tk_replaced_file replaced(path, "script file");
            return "accepted";
        } catch (const tk_exception& e) {
            return std::to_string(e.level) + ":" + e.message;
        }
    }

    std::string dir_;
};

TEST_F(tk_rfile_test, TargetIsReplacedOnlyByCommit) {
    write("out.sql", "old");
    chmod(file("out.sql").c_str(), 0600);
    {
        tk_replaced_file replaced(file("out.sql"), "script file");
        EXPECT_EQ(fs::path(replaced.temp_path()).parent_path(), fs::path(dir_));
        std::ofstream(replaced.temp_path(), std::ios::binary) << "new";
        EXPECT_EQ(read(file("out.sql")), "old") << "untouched while written";
        EXPECT_TRUE(fs::exists(replaced.lock_path()));
        replaced.commit();
        EXPECT_TRUE(replaced.committed());
    }
    EXPECT_EQ(read(file("out.sql")), "new");
    // A private file stays private when it is replaced.
    EXPECT_EQ(fs::status(file("out.sql")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(names(), std::vector<std::string>{"out.sql"}) << "no temporary or lock file left";

    // Discarded, explicitly or by the destructor: the old file stays, nothing is left beside it.
    for (const bool explicit_discard : {true, false}) {
        tk_replaced_file replaced(file("out.sql"), "script file");
        std::ofstream(replaced.temp_path(), std::ios::binary) << "half";
        if (explicit_discard) {
            replaced.discard();
        }
    }
    EXPECT_EQ(read(file("out.sql")), "new");
    EXPECT_EQ(names(), std::vector<std::string>{"out.sql"});
}

TEST_F(tk_rfile_test, SecondWriterOfOneTargetIsRefusedWhileTheFirstHoldsIt) {
    ASSERT_EQ(symlink("out.sql", file("alias.sql").c_str()), 0);
    auto first = std::make_unique<tk_replaced_file>(file("out.sql"), "script file");
    // Through a link the target is the same, so is the lock.
    EXPECT_EQ(refusal(file("alias.sql")), "1:The script file '" + file("alias.sql") +
                                              "' is being written by another run (lock file '" +
                                              file("out.sql") + ".lock')");
    first->commit();
    first.reset();
    EXPECT_EQ(refusal(file("out.sql")), "accepted") << "the lock ends with the first writer";
}

// A second run that comes between the first run's making of its lock file and its writing of
// the lock's text is told that the target is being written, not that someone else's file holds
// the lock's name. Here the first run is played by a thread that lingers in that moment.
TEST_F(tk_rfile_test, ASecondWriterAtTheFirstsLockCreationIsToldOfTheFirst) {
    const int made = open(file("out.sql.lock").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(made, 0);
    std::thread first([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        while (flock(made, LOCK_EX) != 0 && errno == EINTR) {
        }
        const std::string text = "velmora lock file\npid=" + std::to_string(getpid()) + "\n";
        EXPECT_EQ(::write(made, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    });
    const std::string got = refusal(file("out.sql"));
    first.join();
    close(made);
    EXPECT_EQ(got, "1:The script file '" + file("out.sql") +
                       "' is being written by another run (lock file '" + file("out.sql") +
                       ".lock')");
}

// The lock file is the writer's own: a file of its name that the program did not make is
// refused and kept, one it made whose run was killed is cleared away with that run's temporary
// file, and nothing else is ever removed on the word of a lock file's text.
TEST_F(tk_rfile_test, OnlyTheProgramsOwnLockFilesAreTakenOverOrRemoved) {
    const std::string lock = "velmora lock file\npid=999999\n";
    const std::string dead_temp = ".out.sql.999999-3.tmp";
    const std::string foreign = "1:Cannot create the script file '" + file("out.sql") +
                                "': the name of its lock file '" + file("out.sql.lock") +
                                "' is taken by a file this program did not make (it is left as "
                                "it is)";
    struct lock_case {
        const char* what;
        std::string lock_text; // "" with `link`: a symbolic link
        bool link;
        std::vector<std::pair<std::string, std::string>> others; // more files in the folder
        std::string result;
        std::vector<std::string> left; // after the writer
    };
    const std::vector<lock_case> cases = {
        {"a user's notes", "my notes\n", false, {}, foreign, {"out.sql", "out.sql.lock"}},
        {"an empty file", "", false, {}, foreign, {"out.sql", "out.sql.lock"}},
        {"a link", "", true, {}, foreign, {"out.sql", "out.sql.lock"}},
        {"a killed run's lock and script",
         lock + "temp=" + dead_temp + "\n",
         false,
         {{dead_temp, "half a script"}},
         "accepted",
         {"out.sql"}},
        {"a killed run's lock before its script", lock, false, {}, "accepted", {"out.sql"}},
        {"a lock naming a file of another name",
         lock + "temp=notes.tmp\n",
         false,
         {{"notes.tmp", "keep"}, {".out.sql.999999-x.tmp", "keep"}},
         "accepted",
         {".out.sql.999999-x.tmp", "notes.tmp", "out.sql"}},
        {"a lock naming another run's script",
         lock + "temp=.out.sql.4242-0.tmp\n",
         false,
         {{".out.sql.4242-0.tmp", "keep"}},
         "accepted",
         {".out.sql.4242-0.tmp", "out.sql"}},
    };
    for (const lock_case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        write("out.sql", "old");
        if (c.link) {
            ASSERT_EQ(symlink("out.sql", file("out.sql.lock").c_str()), 0);
        } else {
            write("out.sql.lock", c.lock_text);
        }
        for (const auto& [name, text] : c.others) {
            write(name, text);
        }
        EXPECT_EQ(refusal(file("out.sql")), c.result);
        EXPECT_EQ(names(), c.left);
        EXPECT_EQ(read(file("out.sql")), "old");
        for (const auto& [name, text] : c.others) {
            if (fs::exists(file(name))) {
                EXPECT_EQ(read(file(name)), text) << name;
            }
        }
        if (!c.link && c.result != "accepted") {
            EXPECT_EQ(read(file("out.sql.lock")), c.lock_text);
        }
    }
}

// A killed run's script of another user is not its lock's to remove: the lock may be forged.
TEST_F(tk_rfile_test, AStaleLockRemovesOnlyATemporaryFileOfItsOwnUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another user";
    }
    write("out.sql.lock", "velmora lock file\npid=77\ntemp=.out.sql.77-0.tmp\n");
    write(".out.sql.77-0.tmp", "someone else's");
    ASSERT_EQ(chown(file(".out.sql.77-0.tmp").c_str(), 65534, 65534), 0);
    EXPECT_EQ(refusal(file("out.sql")), "accepted");
    EXPECT_EQ(names(), std::vector<std::string>{".out.sql.77-0.tmp"});
}

// A killed run's lock that the writer may not remove (another user's, in a sticky folder) is
// said as such, not as a lock that keeps changing.
TEST_F(tk_rfile_test, AStaleLockThatCannotBeRemovedIsSaid) {
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    write("out.sql.lock", "velmora lock file\npid=77\n");
    const std::string expected = "1:Cannot create the script file '" + file("out.sql") +
                                 "': cannot remove the lock file '" + file("out.sql.lock") +
                                 "' of a run that ended: Operation not permitted";
    const std::string path = file("out.sql");
    EXPECT_TRUE(test_support::run_unprivileged([&] {
        test_support::unprivileged_checks checks;
        const std::string result = refusal(path);
        checks.check(geteuid() == 0 || result == expected, result);
        return checks.text();
    }));
    EXPECT_EQ(read(file("out.sql.lock")), "velmora lock file\npid=77\n");
}

// A lock is never a destination, and a writer removes only its own lock file: a file put in
// its place meanwhile stays.
TEST_F(tk_rfile_test, ALiveLockIsNoDestinationAndAFileInItsPlaceStays) {
    auto first = std::make_unique<tk_replaced_file>(file("a.sql"), "script file");
    EXPECT_EQ(refusal(file("a.sql.lock")), "1:Cannot create the script file '" +
                                               file("a.sql.lock") + "': '" + file("a.sql.lock") +
                                               "' is the lock file of another run");
    // As a writer of "a.sql.lock" that began before the lock was taken would put its script.
    write("script", "another run's script");
    ASSERT_EQ(std::rename(file("script").c_str(), file("a.sql.lock").c_str()), 0);
    first->commit();
    first.reset();
    EXPECT_EQ(read(file("a.sql.lock")), "another run's script");
    EXPECT_EQ(names(), (std::vector<std::string>{"a.sql", "a.sql.lock"}));
}

TEST_F(tk_rfile_test, LinksAreFollowedAndOnlyARegularTargetIsTaken) {
    ASSERT_EQ(mkfifo(file("pipe").c_str(), 0600), 0);
    fs::create_directory(file("folder"));
    write("real.sql", "old");
    struct link_case {
        const char* link;
        const char* names; // relative to the link's folder
        std::string target;
        bool accepted;
    };
    const std::vector<link_case> cases = {
        {"to_real", "real.sql", file("real.sql"), true},
        {"to_to_real", "to_real", file("real.sql"), true},
        {"dangling", "later.sql", file("later.sql"), true},
        {"to_pipe", "pipe", file("pipe"), false},
        {"to_folder", "folder", file("folder"), false},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.link);
        ASSERT_EQ(symlink(c.names, file(c.link).c_str()), 0);
        EXPECT_EQ(tk_link_target(file(c.link)), c.target);
        const std::string result = refusal(file(c.link));
        EXPECT_EQ(result == "accepted", c.accepted) << result;
        EXPECT_TRUE(fs::is_symlink(file(c.link)));
    }
    EXPECT_EQ(tk_link_target(file("real.sql")), file("real.sql"));
    {
        tk_replaced_file replaced(file("to_to_real"), "script file");
        std::ofstream(replaced.temp_path(), std::ios::binary) << "new";
        replaced.commit();
    }
    EXPECT_EQ(read(file("real.sql")), "new");
    EXPECT_TRUE(fs::is_symlink(file("to_real")));

    ASSERT_EQ(symlink("loop_b", file("loop_a").c_str()), 0);
    ASSERT_EQ(symlink("loop_a", file("loop_b").c_str()), 0);
    EXPECT_EQ(refusal(file("loop_a")).substr(0, 37), "1:Too many levels of symbolic links: ");
}

// A link in a sticky folder that everyone may write is followed only as the kernel's
// protected-symlinks rule would follow it: when it is the caller's or the folder owner's.
TEST_F(tk_rfile_test, LinksInSharedStickyFoldersAreFollowedOnlyWhenTheKernelWould) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give links to another user";
    }
    constexpr uid_t other = 65534;
    write("secret", "root's own");
    ASSERT_EQ(chmod(file("secret").c_str(), 0600), 0);
    fs::create_directory(file("plain"));
    const auto folder = [&](const char* name, mode_t mode, uid_t owner) {
        fs::create_directory(file(name));
        EXPECT_EQ(chmod(file(name).c_str(), mode), 0);
        EXPECT_EQ(chown(file(name).c_str(), owner, 0), 0);
    };
    folder("shared", 01777, 0);
    folder("users", 01777, other); // a sticky folder of another user
    folder("open", 0777, 0);       // world-writable, not sticky
    folder("sticky", 01755, 0);    // sticky, not world-writable
    const auto link = [&](const std::string& names, const std::string& at, uid_t owner) {
        EXPECT_EQ(symlink(names.c_str(), file(at).c_str()), 0);
        EXPECT_EQ(lchown(file(at).c_str(), owner, 0), 0);
    };
    link(file("secret"), "shared/theirs", other);
    link(file("secret"), "shared/mine", 0);
    link(file("secret"), "users/owners", other);
    link(file("secret"), "open/theirs", other);
    link(file("secret"), "sticky/theirs", other);
    link(file("shared/theirs"), "plain/chain", 0);
    link(file("nowhere"), "shared/dangling", other);
    link(file("plain"), "shared/folder", other);
    ASSERT_EQ(::link(file("secret").c_str(), file("shared/hard").c_str()), 0);

    const std::string theirs = "the symbolic link '" + file("shared/theirs") +
                               "' is not followed: it is in the shared folder '" + file("shared/") +
                               "' and belongs to another user";
    const struct {
        const char* path;
        std::string target; // or the refusal's reason
        bool followed;
    } cases[] = {
        {"shared/theirs", theirs, false},
        {"plain/chain", theirs, false},
        {"shared/dangling", "", false},
        {"shared/folder", "", false},
        {"shared/mine", file("secret"), true},
        {"users/owners", file("secret"), true},
        {"open/theirs", file("secret"), true},
        {"sticky/theirs", file("secret"), true},
        // A hard link is the file's own name there: it is replaced, the file it shares stays.
        {"shared/hard", file("shared/hard"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.followed) {
            EXPECT_EQ(tk_link_target(file(c.path)), c.target);
            continue;
        }
        const std::string result = refusal(file(c.path));
        EXPECT_NE(result.find("' is not followed: it is in the shared folder '"), std::string::npos)
            << result;
        if (!c.target.empty()) {
            EXPECT_EQ(result, "1:T" + c.target.substr(1));
        }
    }
    {
        tk_replaced_file replaced(file("shared/hard"), "script file");
        std::ofstream(replaced.temp_path(), std::ios::binary) << "script";
        replaced.commit();
    }
    EXPECT_EQ(read(file("shared/hard")), "script");
    EXPECT_EQ(read(file("secret")), "root's own");
    EXPECT_FALSE(fs::exists(file("nowhere")));
}

TEST_F(tk_rfile_test, ExitCleanupsRemoveTheTemporaryFileAndRunOnceNewestFirst) {
    write("out.sql", "old");
    std::string order;
    tk_exit_cleanup first([&] { order += "1"; });
    tk_replaced_file replaced(file("out.sql"), "script file");
    {
        tk_exit_cleanup gone([&] { order += "x"; });
    }
    tk_exit_cleanup last([&] { order += "3"; });
    tk_run_exit_cleanups();
    tk_run_exit_cleanups();
    EXPECT_EQ(order, "31");
    EXPECT_EQ(names(), std::vector<std::string>{"out.sql"});
    EXPECT_EQ(read(file("out.sql")), "old");
}

TEST(tk_stop, SignalsRequestAStopAndTheFirstSignalIsKept) {
    tk_clear_stop();
    tk_install_stop_signals();
    EXPECT_FALSE(tk_stop_requested());
    raise(SIGTERM);
    raise(SIGINT);
    EXPECT_TRUE(tk_stop_requested());
    EXPECT_EQ(tk_stop_signal(), SIGTERM);
    // A file-size limit is reported by the write that meets it; the signal does not end us.
    raise(SIGXFSZ);
    tk_clear_stop();
    EXPECT_FALSE(tk_stop_requested());
    tk_request_stop();
    EXPECT_TRUE(tk_stop_requested());
    EXPECT_EQ(tk_stop_signal(), 0);
    tk_clear_stop();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
        std::signal(signal, SIG_DFL);
    }
}

} // namespace
