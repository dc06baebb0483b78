// The front end of a benchmark that runs the converter in its own process: errors go to
// standard error and are counted, so a run that reported one does not pass as measured.
#pragma once

#include "converter/vlm_ui.h"
#include "tools/bench/bench_mysql_env.h"

#include <cstdio>
#include <string>

namespace bench {

class bench_ui : public vlm_ui {
public:
    bool ask_continue(const std::wstring& text, bool&) override {
        std::fprintf(stderr, "error: %ls\n", text.c_str());
        ++failures;
        return false;
    }
    void show_error(const std::wstring& text) override { ask_continue(text, dummy_); }
    void show_internal_error(const std::wstring& text) override {
        std::fprintf(stderr, "internal error: %ls\n", text.c_str());
    }
    bool is_initialized() const override { return false; }
    void start_timer(unsigned) override {}
    void write_log(const std::wstring&) override {}
    void error_narrow(const std::string& text) override {
        std::fprintf(stderr, "error: %s\n", text.c_str());
        ++failures;
    }
    int failures = 0;

private:
    bool dummy_ = false;
};

// The converter's MySQL settings for the server of VELMORA_TEST_MYSQL; false when none is given.
template <class Converter> bool store_test_mysql(Converter& converter) {
    mysql_address server;
    if (!mysql_from_env(server)) {
        return false;
    }
    converter.store_mysql_settings(server.host, server.user, server.password, server.port);
    return true;
}

} // namespace bench
