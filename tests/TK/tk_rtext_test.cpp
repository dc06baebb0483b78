// Reading a small text file whole, with a bound on its size.
#include "TK/tk_rtext.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class TkReadTextFile : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tk_rfile_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const char* name, const std::string& bytes) const {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string fifo() const {
        const std::string path = (dir_ / "pipe").string();
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        return path;
    }

    fs::path dir_;
};

TEST_F(TkReadTextFile, ResultsAtAndAroundTheLimit) {
    const std::string sixteen(16, 'x');
    const struct {
        std::string path;
        tk_read_result result;
        std::string bytes;
    } cases[] = {
        {write("empty", ""), tk_read_result::ok, ""},
        // One line of the whole limit is read: the bound is on the file, not on a line.
        {write("at_limit", sixteen), tk_read_result::ok, sixteen},
        {write("over", sixteen + "y"), tk_read_result::too_large, ""},
        // A device reports size 0 and never ends.
        {"/dev/zero", tk_read_result::too_large, ""},
        {dir_.string(), tk_read_result::directory, ""},
        {(dir_ / "none").string(), tk_read_result::missing, ""},
        {(dir_ / "at_limit" / "x").string(), tk_read_result::missing, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string bytes = "left over";
        EXPECT_EQ(tk_read_text_file(c.path, 16, bytes), c.result);
        EXPECT_EQ(bytes, c.bytes);
    }
}

// The writing end of a named pipe, opened only while a reader has the pipe open (a reader that
// gave up leaves no writer hanging); -1 after 5 s without one.
int open_for_writing(const std::string& path) {
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
        fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return fd;
}

// A pipe is read to its end, whenever its writer comes and however it writes: a table list
// from `<(cmd)` or a named pipe is not read as empty because its command is slow.
TEST_F(TkReadTextFile, PipesAreReadUntilTheirWriterCloses) {
    const auto late_writer = [](const std::function<int()>& open_end) {
        return std::thread([open_end] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const int fd = open_end();
            EXPECT_EQ(::write(fd, "dbo.a\n", 6), 6);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(::write(fd, "dbo.b\n", 6), 6);
            ::close(fd);
        });
    };
    {
        SCOPED_TRACE("named pipe whose writer opens it late");
        const std::string path = fifo();
        std::thread writer = late_writer([path] { return open_for_writing(path); });
        std::string bytes;
        EXPECT_EQ(tk_read_text_file(path, 16, bytes), tk_read_result::ok);
        EXPECT_EQ(bytes, "dbo.a\ndbo.b\n");
        writer.join();
    }
    {
        SCOPED_TRACE("pipe of a command that writes late, as /dev/fd/N");
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        std::thread writer = late_writer([&ends] { return ends[1]; });
        std::string bytes;
        EXPECT_EQ(tk_read_text_file("/dev/fd/" + std::to_string(ends[0]), 16, bytes),
                  tk_read_result::ok);
        EXPECT_EQ(bytes, "dbo.a\ndbo.b\n");
        writer.join();
        ::close(ends[0]);
    }
    {
        SCOPED_TRACE("pipe over the limit");
        const std::string path = (dir_ / "pipe2").string();
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        std::thread writer([path] {
            const int fd = open_for_writing(path);
            const std::string text(17, 'x');
            ::write(fd, text.data(), text.size());
            ::close(fd);
        });
        std::string bytes;
        EXPECT_EQ(tk_read_text_file(path, 16, bytes), tk_read_result::too_large);
        writer.join();
    }
}

} // namespace
