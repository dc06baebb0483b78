// The trace log: one file per process that every layer appends lines to.
#pragma once

#include "TK/tk_excep.h"
#include "TK/tk_singl.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// The process's logger. Created disabled by both programs (threshold 3, no time prefix); it is
// enabled when a log file is named through tk_converter::set_logfile. The file is emptied once
// per process, at the first writer call after enabling. The file is opened without following a
// symbolic link: set_logfile gives it the path a link names, checked once.
class tk_logger : public tk_singleton<tk_logger> {
public:
    // `file` in the ANSI code page, or null for default_file_name(). When `enabled`, the file is
    // emptied at once.
    tk_logger(const char* file, bool enabled, int threshold, bool timestamp);
    ~tk_logger() override;

    tk_logger(const tk_logger&) = delete;
    tk_logger& operator=(const tk_logger&) = delete;

    // The program's own path with the extension ".log".
    static std::string default_file_name();

    // Empties (or creates) the log file once, when enabled and not done yet.
    void truncate_once();

    // Switches logging on into `path`; the file is not emptied again if it was before. Safe
    // while other threads write lines.
    void enable(const std::string& path);

    // Switches logging off: a log that would destroy a file the run needs is not written at all.
    void disable() { enabled_ = false; }

    // Notes a file the run reads its settings from (`kind`: "table-list", "profile"), which the
    // log, emptied when it starts, must never be. A file that is the log named so far switches
    // logging off and is refused (tk_exception, level 1).
    void note_input(const std::string& path, const std::string& kind);
    // Refuses (tk_exception, level 1) a log path that names a file noted as an input.
    void refuse_input_as_log(const std::string& path) const;

    // While held, lines are kept in memory (up to 1 MiB) and the file is neither emptied nor
    // written: a program holds them until its command line proves valid, so that a refused
    // command line leaves an existing log's content in place. release(true) empties the file as
    // truncate_once would and then writes the kept lines; release(false) appends them.
    void hold();
    void release(bool empty_first);
    bool held() const { return held_; }
    // Keeps one finished line while held; false when not held (the caller writes it).
    bool keep_held_line(const std::string& line);

    // True the first time only: a failed write is reported once per logger.
    bool first_write_failure() { return !write_failure_reported_.exchange(true); }
    // A write of the log failed and was reported: the run lost part of its trace.
    bool write_failed() const { return write_failure_reported_; }

    // A copy: another thread may switch the file at any moment.
    std::string log_path() const;
    int threshold() const { return threshold_; }
    bool line_break() const { return line_break_; }
    bool enabled() const { return enabled_; }
    bool truncated() const { return truncated_; }
    bool timestamp() const { return timestamp_; }

private:
    mutable std::mutex path_lock_; // guards path_
    std::string path_;
    int threshold_ = 3;
    bool line_break_ = true;
    std::atomic<bool> enabled_{false};
    std::atomic<bool> truncated_{false};
    std::atomic<bool> held_{false};
    std::atomic<bool> write_failure_reported_{false};
    struct input_file {
        unsigned long long device;
        unsigned long long inode;
        std::string path;
        std::string kind;
    };
    mutable std::mutex inputs_lock_; // guards inputs_
    std::vector<input_file> inputs_;
    std::mutex held_lock_; // guards held_lines_
    std::string held_lines_;
    bool timestamp_ = false;
};

// Whether a line of `level` would be written now. Callers whose arguments cost a conversion
// test it first, so that a line the log drops builds nothing.
inline bool tk_log_wanted(int level) {
    const tk_logger* logger = tk_singleton<tk_logger>::pointer();
    return logger != nullptr && logger->enabled() && level >= logger->threshold();
}

// Level of a line: 1 detail, 2 method entry, 3 progress and errors. A line is written when
// logging is enabled and its level reaches the threshold, followed by "\r\n".
//
// The writers are reached through the macros below, which test the level first: the row path
// traces dozens of lines per row, and a line the log drops must cost neither a call nor the
// evaluation of its arguments. The first call after enabling reaches the writer whatever its
// level, so that the file is emptied then.
inline bool tk_log_call_needed(int level) {
    const tk_logger* logger = tk_singleton<tk_logger>::pointer();
    return logger != nullptr && logger->enabled() &&
           (level >= logger->threshold() || !logger->truncated());
}

// Narrow writer: the formatted text is written byte for byte, with no length limit.
void tk_log_write_message(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Wide writer (glibc formats: %ls for wide strings): at most 10239 characters are written,
// converted to UTF-8.
void tk_log_write_wmessage(int level, const wchar_t* format, ...);

#define tk_log_message(level, ...)                                                                 \
    do {                                                                                           \
        const int tk_log_level_ = (level);                                                         \
        if (tk_log_call_needed(tk_log_level_)) {                                                   \
            tk_log_write_message(tk_log_level_, __VA_ARGS__);                                      \
        }                                                                                          \
    } while (0)

#define tk_log_wmessage(level, ...)                                                                \
    do {                                                                                           \
        const int tk_log_level_ = (level);                                                         \
        if (tk_log_call_needed(tk_log_level_)) {                                                   \
            tk_log_write_wmessage(tk_log_level_, __VA_ARGS__);                                     \
        }                                                                                          \
    } while (0)
