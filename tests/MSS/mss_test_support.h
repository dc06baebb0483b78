// Shared by the MS SQL source tests: COM for the test's thread and a trace log to read back.
#pragma once

#include "TK/tk_log.h"
#include "platform/com/com_api.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

// COM initialised around each test, and every trace line kept in a file of its own.
class mss_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        char name[] = "/tmp/velmora-mss-XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        log_path_ = name;
        logger_ = std::make_unique<tk_logger>(log_path_.c_str(), true, 1, false);
    }

    void TearDown() override {
        logger_.reset();
        std::remove(log_path_.c_str());
        CoUninitialize();
    }

    // The trace written so far.
    std::string trace() const {
        std::ifstream in(log_path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // How often `line` appears as a whole line of the trace.
    int trace_count(const std::string& line) const {
        const std::string text = trace();
        const std::string needle = line + "\r\n";
        int count = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + 1)) {
            count += at == 0 || text[at - 1] == '\n';
        }
        return count;
    }

private:
    std::string log_path_;
    std::unique_ptr<tk_logger> logger_;
};
