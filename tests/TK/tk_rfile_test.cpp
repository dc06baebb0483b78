// Tests of the file that replaces its destination only when whole, its lock, the following of
// links, and the cleanups of a process that ends at once.
#include "TK/tk_rfile.h"

#include "TK/tk_excep.h"
#include "TK/tk_exitc.h"
#include "TK/tk_stop.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
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
    // A lock file left by a writer that was killed holds no lock.
    write("out.sql.lock", "");
    EXPECT_EQ(refusal(file("out.sql")), "accepted");
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
