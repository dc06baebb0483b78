// A trace log of the test's own: every line from a threshold on goes to a temporary file that the
// test can read back; the file is removed when the capture ends.
#pragma once

#include "TK/tk_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace test_support {

class trace_capture {
public:
    explicit trace_capture(int threshold) {
        char name[] = "/tmp/velmora-trace-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            ADD_FAILURE() << "cannot create a trace file";
            return;
        }
        close(fd);
        path_ = name;
        logger_ = std::make_unique<tk_logger>(path_.c_str(), true, threshold, false);
    }
    trace_capture(const trace_capture&) = delete;
    trace_capture& operator=(const trace_capture&) = delete;

    ~trace_capture() {
        logger_.reset();
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
    }

    // The trace written so far.
    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // How often `line` appears as a whole line of the trace.
    int count(const std::string& line) const {
        const std::string all = text();
        const std::string needle = line + "\r\n";
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos;
             at = all.find(needle, at + 1)) {
            found += at == 0 || all[at - 1] == '\n';
        }
        return found;
    }

private:
    std::string path_;
    std::unique_ptr<tk_logger> logger_;
};

} // namespace test_support
