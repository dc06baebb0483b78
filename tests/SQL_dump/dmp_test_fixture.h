// Fixtures of the script-file tests: an engine without a server, a temporary folder, a fixed
// clock, and records and columns built by hand.
#pragma once

#include "SQL/sql_dump.h"
#include "SQL/sql_engi.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "platform/win32/localtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace dmp_test {

// A column descriptor as the MS SQL source makes it.
inline std::shared_ptr<t_ftd> column(const std::wstring& name, VARTYPE vt, int32_t size,
                                     int32_t subtype = 0, int32_t prec = 0, int32_t scale = 0) {
    auto c = std::make_shared<t_ftd>(size, name, vt, false, false, ole_variant(), subtype, L"");
    c->prec = prec;
    c->scale = scale;
    return c;
}

inline udb_schema schema_of(std::vector<std::shared_ptr<t_ftd>> columns) {
    udb_schema schema;
    for (auto& c : columns) {
        schema.push_back(std::move(c));
    }
    return schema;
}

inline udb_index index_of(const std::wstring& name, bool unique, bool primary,
                          std::vector<std::wstring> columns) {
    udb_index index(name, unique, primary);
    index.columns = std::move(columns);
    return index;
}

// A record of (name, value) fields; the size is what the value type reports.
inline udb_record record_of(std::vector<std::pair<std::wstring, ole_variant>> fields) {
    udb_record record;
    for (auto& [name, value] : fields) {
        auto field = std::make_unique<udb_field>(name, 0, std::move(value), false, false);
        record.push_back(std::move(field));
    }
    return record;
}

inline ole_variant typed(const std::string& text, VARTYPE vt) {
    return ole_variant::from_string(text, vt);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void fixed_clock(SYSTEMTIME* time) {
    *time = SYSTEMTIME{2026, 3, 3, 4, 10, 20, 30, 0};
}

// An engine that never connects (the script fixes its version word), a temporary folder
// removed afterwards, and a fixed date for the script's head.
class dump_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-dump-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_clock_ = set_local_time_source(&fixed_clock);
        // As every run starts.
        engine_.fast_insert = false;
    }

    void TearDown() override {
        set_local_time_source(previous_clock_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::wstring wpath(const std::string& name) const {
        const std::string p = path(name);
        return std::wstring(p.begin(), p.end());
    }

    // The script's text with the temporary folder written as <dir>.
    std::string script_text(const std::string& name) const {
        std::string text = read_file(path(name));
        for (std::size_t at = text.find(dir_); at != std::string::npos; at = text.find(dir_)) {
            text.replace(at, dir_.size(), "<dir>");
        }
        return text;
    }

    // The script without its last line, which must be the completion line; a script without it
    // fails the test.
    static std::string without_completion_line(const std::string& text,
                                               const std::string& line_break) {
        const std::string last = dmp_database::completion_line + line_break;
        if (text.size() < last.size() ||
            text.compare(text.size() - last.size(), last.size(), last) != 0) {
            ADD_FAILURE() << "the script does not end with the completion line:\n" << text;
            return text;
        }
        return text.substr(0, text.size() - last.size());
    }

    sql_engine engine_;
    std::string dir_;
    local_time_source previous_clock_ = nullptr;
};

} // namespace dmp_test
