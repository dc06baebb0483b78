// Reading a small text file whole, with a bound on its size.
#include "TK/tk_rtext.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
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
        // A named pipe that nobody writes is empty, not a wait for ever.
        {fifo(), tk_read_result::ok, ""},
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

} // namespace
