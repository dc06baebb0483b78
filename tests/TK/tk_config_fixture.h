// Shared pieces of the registry-key, error-map, key/list and mail tests: a captured trace log
// and a private XDG configuration folder.
#pragma once

#include "TK/tk_log.h"
#include "tests/TK/tk_core_fixture.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace tk_config_test {

// A logger writing every level into a file of a temporary folder, for as long as it lives.
class log_capture {
public:
    log_capture() : path_(dir_.file("trace.log")), logger_(path_.c_str(), true, 1, false) {}
    std::string text() const { return tk_core_test::read_file(path_); }
    bool contains(const std::string& line) const {
        return text().find(line + "\r\n") != std::string::npos;
    }

private:
    tk_core_test::temp_dir dir_;
    std::string path_;
    tk_logger logger_;
};

// Points XDG_CONFIG_HOME, where the registry lives, at a temporary folder for its lifetime.
class private_config {
public:
    private_config() {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            saved_ = old;
        setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    }
    ~private_config() {
        if (saved_)
            setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }
    private_config(const private_config&) = delete;
    private_config& operator=(const private_config&) = delete;

    const tk_core_test::temp_dir& dir() const { return dir_; }

private:
    tk_core_test::temp_dir dir_;
    std::optional<std::string> saved_;
};

} // namespace tk_config_test
