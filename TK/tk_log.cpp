// The trace log.
#include "TK/tk_log.h"

#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_fpath.h"
#include "TK/tk_utils.h"
#include "platform/win32/localtime.h"
#include "platform/win32/unicode.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t wide_line_size = 10240;
constexpr std::size_t utf8_line_size = 10240;

// Opens the log for one line. The file is held exclusively while the line is written: a second
// writer (another thread, or another process on the same file) waits for the first instead of
// mixing its bytes into the line; closing the file releases it. Null when the file cannot be
// opened; the line is then dropped, and `refused` says why when it is not an errno. The path,
// found when the log was named, is followed anew for each line, so a link put on the way later
// is met by the same rule, and a link put in place of the file itself is not written through.
std::FILE* open_for_line(const std::string& path, std::string& refused) {
    int fd = -1;
    try {
        fd = tk_open_for_writing(path, tk_write_mode::append, 0666, false).release();
    } catch (const tk_exception& error) {
        refused = error.message;
        return nullptr;
    }
    if (fd < 0) {
        return nullptr;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            break; // a file system without locks: write unlocked rather than lose the line
        }
    }
    std::FILE* file = ::fdopen(fd, "ab");
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
}

constexpr std::size_t held_limit = std::size_t{1} << 20;

// A log that cannot be written loses the trace the user asked for: said once on stderr, and the
// run goes on; the program's exit code tells it (tk_logger::write_failed).
void report_write_failure(tk_logger& logger, const std::string& path, const std::string& reason) {
    if (!logger.first_write_failure()) {
        return;
    }
    std::fprintf(stderr, "Cannot write the trace log %s: %s\n", path.c_str(), reason.c_str());
    std::fflush(stderr);
}

std::string time_prefix() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char text[24];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d ", now.wHour, now.wMinute, now.wSecond);
    return text;
}

// Writes one finished line (prefix and line break included) to the log, or keeps it while the
// log is held.
void write_line(tk_logger& logger, const std::string& line) {
    if (logger.keep_held_line(line)) {
        return;
    }
    const std::string path = logger.log_path();
    std::string refused;
    std::FILE* file = open_for_line(path, refused);
    if (file == nullptr) {
        report_write_failure(logger, path, refused.empty() ? std::strerror(errno) : refused);
        return;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    const int error = errno;
    if (std::fclose(file) != 0 || !written) {
        report_write_failure(logger, path, std::strerror(written ? errno : error));
    }
}

std::string formatted(const char* format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

// Bytes that one character takes in UTF-8; a value that is not a character becomes U+FFFD.
std::size_t utf8_size(wchar_t ch) {
    const auto value = static_cast<std::uint32_t>(ch);
    if (value < 0x80) {
        return 1;
    }
    if (value < 0x800) {
        return 2;
    }
    if (value < 0x10000 || value > 0x10FFFF) {
        return 3;
    }
    return 4;
}

// The number of leading characters of `text` whose UTF-8 form fits in `room` bytes.
std::size_t fitting_prefix(std::wstring_view text, std::size_t room) {
    std::size_t used = 0;
    std::size_t count = 0;
    for (wchar_t ch : text) {
        used += utf8_size(ch);
        if (used > room) {
            break;
        }
        ++count;
    }
    return count;
}

// The logger, when one exists and logging is on; empties the file at the first call.
tk_logger* active_logger() {
    if (tk_singleton<tk_logger>::pointer() == nullptr) {
        return nullptr;
    }
    tk_logger& logger = tk_singleton<tk_logger>::ref();
    if (!logger.enabled()) {
        return nullptr;
    }
    if (!logger.held()) {
        logger.truncate_once();
    }
    return &logger;
}

} // namespace

tk_logger::tk_logger(const char* file, bool enabled, int threshold, bool timestamp) {
    // The object is registered before its members are set, and finding the default name logs:
    // logging stays off until everything else is in place.
    path_ = file != nullptr ? std::string(file) : default_file_name();
    threshold_ = threshold;
    line_break_ = true;
    timestamp_ = timestamp;
    enabled_ = enabled;
    if (enabled) {
        truncate_once();
    }
}

tk_logger::~tk_logger() = default;

std::string tk_logger::default_file_name() {
    const tk_file_name parts(tk_get_module_file_name());
    return parts.drive + parts.dir + parts.name + ".log";
}

void tk_logger::truncate_once() {
    // Every writer call passes here, on every thread: a plain read keeps the common case from
    // contending for the flag's cache line.
    if (!enabled_ || truncated_.load(std::memory_order_relaxed) || truncated_.exchange(true)) {
        return;
    }
    // A log that cannot be emptied is said by the first line's write, which meets the same
    // refusal.
    try {
        tk_open_for_writing(log_path(), tk_write_mode::truncate, 0666, false);
    } catch (const tk_exception&) {
    }
}

void tk_logger::enable(const std::string& path) {
    {
        const std::lock_guard<std::mutex> lock(path_lock_);
        path_ = path;
    }
    enabled_ = true;
}

void tk_logger::note_input(const std::string& path, const std::string& kind) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(inputs_lock_);
        inputs_.push_back({st.st_dev, st.st_ino, path, kind});
    }
    if (!enabled_) {
        return;
    }
    try {
        refuse_input_as_log(log_path());
    } catch (...) {
        disable();
        throw;
    }
}

void tk_logger::refuse_input_as_log(const std::string& path) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return; // a log that does not exist yet is no input
    }
    const std::lock_guard<std::mutex> lock(inputs_lock_);
    for (const input_file& input : inputs_) {
        if (input.device == st.st_dev && input.inode == st.st_ino) {
            throw tk_exception("The log file " + path + " is the " + input.kind + " file " +
                                   input.path +
                                   ", which the log would empty.\nGive the log "
                                   "another name.",
                               1);
        }
    }
}

void tk_logger::hold() {
    held_ = true;
}

void tk_logger::release(bool empty_first) {
    std::string lines;
    {
        const std::lock_guard<std::mutex> lock(held_lock_);
        lines.swap(held_lines_);
        held_ = false;
    }
    if (!enabled_) {
        return;
    }
    if (empty_first) {
        truncate_once();
    } else {
        truncated_ = true; // the log keeps what it held before this run
    }
    if (!lines.empty()) {
        write_line(*this, lines);
    }
}

bool tk_logger::keep_held_line(const std::string& line) {
    if (!held_) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(held_lock_);
    if (!held_) {
        return false;
    }
    if (held_lines_.size() + line.size() <= held_limit) {
        held_lines_ += line;
    }
    return true;
}

std::string tk_logger::log_path() const {
    const std::lock_guard<std::mutex> lock(path_lock_);
    return path_;
}

void tk_log_write_message(int level, const char* format, ...) {
    tk_logger* logger = active_logger();
    if (logger == nullptr || level < logger->threshold()) {
        return;
    }
    std::string line = logger->timestamp() ? time_prefix() : std::string();
    va_list arguments;
    va_start(arguments, format);
    line += formatted(format, arguments);
    va_end(arguments);
    if (logger->line_break()) {
        line += "\r\n";
    }
    write_line(*logger, line);
}

void tk_log_write_wmessage(int level, const wchar_t* format, ...) {
    tk_logger* logger = active_logger();
    if (logger == nullptr || level < logger->threshold()) {
        return;
    }

    // Output longer than the buffer is cut to its first wide_line_size - 1 characters: glibc
    // writes that much before it reports the overflow.
    wchar_t text[wide_line_size];
    text[0] = L'\0';
    va_list arguments;
    va_start(arguments, format);
    std::vswprintf(text, wide_line_size, format, arguments);
    va_end(arguments);
    text[wide_line_size - 1] = L'\0';
    const std::wstring_view wide(text, std::wcslen(text));

    // A line whose UTF-8 form would not fit (with a terminator) is cut at a character boundary.
    char utf8[utf8_line_size];
    const std::size_t count = fitting_prefix(wide, utf8_line_size - 1);
    const std::size_t bytes = win32::write_utf8(utf8, wide.substr(0, count));
    std::string line = logger->timestamp() ? time_prefix() : std::string();
    line.append(utf8, bytes);
    if (logger->line_break()) {
        line += "\r\n";
    }
    write_line(*logger, line);
}
