// The console agent's pieces inside the test process, where the trace log can be read at any
// threshold: what the options and the console front end leave in it.
#include "agent/agn_cons.h"
#include "agent/agn_opts.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "tests/agent/agent_test_support.h"
#include "TK/tk_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

using agent_test::read_file;
using agent_test::temp_dir;

// The objects of pontrel's main, with the trace log at `threshold` in a folder of the test's
// own (which also holds the settings the converter reads).
class console_process : public testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            saved_home_ = old;
        }
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    }
    void TearDown() override {
        if (saved_home_) {
            setenv("XDG_CONFIG_HOME", saved_home_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
    }

    std::string log_path() const { return dir.file("trace.log"); }

    temp_dir dir;

private:
    std::optional<std::string> saved_home_;
};

TEST_F(console_process, PasswordsStayOutOfTheTraceAtAnyThreshold) {
    tk_logger logger(log_path().c_str(), true, 1, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    console_ui ui;
    velmora_convertor converter(vlm_program::console);
    std::vector<std::string> args = {"pontrel",     "--src=a",          "--dest=b",
                                     "--mssqlu=sa", "--mssqlp=Mss-Pw1", "--mysqlp=My-Pw2"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    ASSERT_TRUE(parse_cmd_line(static_cast<int>(argv.size()), argv.data()));
    EXPECT_EQ(converter.mssqlp, L"Mss-Pw1");
    EXPECT_EQ(converter.pswd, "My-Pw2");

    const std::string log = read_file(log_path());
    EXPECT_NE(log.find("parameter #3: --mssqlu=sa"), std::string::npos) << log;
    EXPECT_NE(log.find("parameter #4: --mssqlp=***"), std::string::npos) << log;
    EXPECT_EQ(log.find("Mss-Pw1"), std::string::npos) << log;
    EXPECT_EQ(log.find("My-Pw2"), std::string::npos) << log;
}

// A failure outside the toolkit's exceptions ends the run: besides the console, the trace log
// must keep it, or a scheduled run leaves no word of why it failed.
TEST_F(console_process, FailureOfTheWholeRunReachesTheTraceLog) {
    tk_logger logger(log_path().c_str(), true, 3, false);
    console_ui ui;
    testing::internal::CaptureStderr();
    ui.error_narrow("std::bad_alloc");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "std::bad_alloc\n");
    EXPECT_TRUE(ui.any_error());
    EXPECT_NE(read_file(log_path()).find("ERROR:\nstd::bad_alloc\r\n"), std::string::npos)
        << read_file(log_path());
}

// Standard output into a pipe is fully buffered; a progress line or an error must still arrive
// when it is written, not when the run ends.
TEST_F(console_process, ProgressLinesReachAPipeAtOnce) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    std::FILE* piped = fdopen(ends[1], "w"); // a pipe: fully buffered
    ASSERT_NE(piped, nullptr);
    std::fflush(stdout);
    std::FILE* const saved = stdout;
    stdout = piped;
    console_ui ui;
    ui.write_log(L"Converting table t (1 records)\r\n");
    ui.show_error(L"t, record #2: refused");
    char bytes[256];
    const ssize_t n = read(ends[0], bytes, sizeof bytes);
    stdout = saved;
    std::fclose(piped);
    close(ends[0]);
    EXPECT_EQ(std::string(bytes, n > 0 ? static_cast<std::size_t>(n) : 0),
              "Converting table t (1 records)\nError:\nt, record #2: refused\n");
}

} // namespace
