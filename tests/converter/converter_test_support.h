// Shared pieces of the driver's tests: a scriptable front end, a settings folder of the test's
// own, the process singletons the driver needs.
#pragma once

#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_ui.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace converter_test {

// A front end that answers from a script and records what it was shown.
class scripted_ui : public vlm_ui {
public:
    struct answer {
        bool go_on = true;
        bool dont_show_again = false;
    };

    bool ask_continue(const std::wstring& text, bool& dont_show_again) override {
        questions.push_back(text);
        if (on_question) {
            on_question();
        }
        answer next;
        if (!answers.empty()) {
            next = answers.front();
            answers.pop_front();
        } else if (abort_at_question != 0 && questions.size() >= abort_at_question) {
            next.go_on = false;
        }
        dont_show_again = next.dont_show_again;
        return next.go_on;
    }
    void show_error(const std::wstring& text) override { error_boxes.push_back(text); }
    void show_internal_error(const std::wstring& text) override {
        // The process ends right after: the parent of a death test reads this line.
        std::fprintf(stderr, "INTERNAL DIALOG: %ls\n", text.c_str());
    }
    bool ends_process(int level) const override { return console && level == 1; }
    bool is_initialized() const override { return initialized; }
    void start_timer(unsigned period_ms) override { timer_periods.push_back(period_ms); }
    void write_log(const std::wstring& line) override { log_lines.push_back(line); }
    void error_narrow(const std::string& text) override { narrow_errors.push_back(text); }
    bool console_run() const override { return console; }
    void table_missing(const std::wstring& name) override { missing_tables.push_back(name); }

    std::deque<answer> answers;
    // Called while a question is open, before it is answered.
    std::function<void()> on_question;
    // With no scripted answer left: Abort from this question on (0: always Continue).
    std::size_t abort_at_question = 0;
    bool initialized = true;
    bool console = false;
    std::vector<std::wstring> questions;
    std::vector<std::wstring> error_boxes;
    std::vector<unsigned> timer_periods;
    std::vector<std::wstring> log_lines;
    std::vector<std::string> narrow_errors;
    std::vector<std::wstring> missing_tables;
};

// A converter connected to the TDS test server on `port` with source database `source`, with
// every option a test leaves alone at the same value: the registry keeps the options of the
// test before.
inline std::unique_ptr<velmora_convertor> source_converter(int port, const std::wstring& source) {
    auto c = std::make_unique<velmora_convertor>();
    c->tab_def = false;
    c->skip_idx = false;
    c->mss_schema.clear();
    c->set_view_owned(true);
    c->set_as_dbo(true);
    c->mss->connect(L"127.0.0.1," + std::to_wstring(port), L"sa", L"Velmora-Pw1", true);
    c->src = source;
    c->convert_views = false;
    return c;
}

// A temporary folder, removed with the object.
class temp_dir {
public:
    temp_dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vlm-driver-XXXXXX");
        path = mkdtemp(pattern.data());
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::wstring wfile(const std::string& name) const {
        const std::string f = file(name);
        return std::wstring(f.begin(), f.end());
    }

    std::string path;
};

// HKEY_CURRENT_USER in a folder of the test's own.
class settings_home {
public:
    settings_home() {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            saved_ = old;
        }
        setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1);
    }
    ~settings_home() {
        if (saved_) {
            setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
    }
    std::string registry_file() const { return dir.file("velmora/registry"); }

    temp_dir dir;

private:
    std::optional<std::string> saved_;
};

// The process singletons of a program, in its order: logger, error handler, front end. Alone
// (without a settings folder) for a death test's child, which ends without removing folders.
struct handler_env {
    handler_env() : logger(nullptr, false, 3, false), handler(err_map_oledb_size, err_map_oledb) {
        handler.load_err_map(err_map_mysql_size, err_map_mysql);
    }

    tk_logger logger;
    error_handler handler;
    scripted_ui ui;
};

// The process singletons and a settings folder of the test's own, for tests with a converter.
struct driver_env : handler_env {
    settings_home home;
};

} // namespace converter_test
