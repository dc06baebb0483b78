// Key/list configuration reader: named lists of items from a small subset of YAML.
#include "TK/tk_yaml.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// A key for comparing one character in UTF-16 order.
unsigned long utf16_rank(wchar_t c) {
    const auto code = static_cast<unsigned long>(c);
    if (code < 0xD800)
        return code;
    if (code >= 0x10000) // a surrogate pair: between U+D800 and U+E000
        return 0xD800 + (code - 0x10000);
    if (code < 0xE000) // an unpaired surrogate stands where pairs with that lead unit stand
        return 0xD800 + ((code - 0xD800) << 10);
    return code + 0x100000; // U+E000..U+FFFF sort above every pair
}

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct line_buffer {
    char* data = nullptr;
    std::size_t capacity = 0;
    ~line_buffer() { std::free(data); }
};

} // namespace

bool tk_utf16_order::operator()(const std::wstring& a, const std::wstring& b) const {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] == b[i])
            continue;
        return utf16_rank(a[i]) < utf16_rank(b[i]);
    }
    return a.size() < b.size();
}

bool tk_yaml_config::load(const char* path, const std::set<std::wstring>& filter) {
    tk_log_message(2, "tk_yaml_config::load(%s)", path ? path : "(null)");
    if (!path)
        return false;
    // Binary, so that both LF and CR LF files read the same on every platform.
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "rb"));
    if (!file)
        return false;
    // A directory opens for reading here, where it would not on Windows; it is no list file.
    struct stat status {};
    if (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode))
        return false;

    std::string key;
    std::wstring wide_key;
    bool wide_key_ready = false;
    line_buffer buffer;
    for (;;) {
        const ssize_t got = getline(&buffer.data, &buffer.capacity, file.get());
        if (got < 0)
            break;
        std::string line(buffer.data, static_cast<std::size_t>(got));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        tk_log_message(1, "Got text line: %s", line.c_str());
        line = tk_trim(line);
        if (line.empty()) {
            tk_log_message(1, "Skip empty line");
            continue;
        }
        if (line.back() == ':') {
            line.pop_back();
            key = std::move(line);
            wide_key_ready = false;
            continue;
        }
        if (line.front() != '-')
            continue;
        const std::wstring item = tk_utf8_to_wstring(tk_trim(line.substr(1)));
        if (filter.contains(item)) {
            tk_log_wmessage(1, L"String '%ls' has not passed the filter", item.c_str());
            continue;
        }
        if (!wide_key_ready) {
            wide_key = tk_utf8_to_wstring(key);
            wide_key_ready = true;
        }
        (*this)[wide_key].push_back(item);
        tk_log_wmessage(1, L"String '%ls' has been stored under key='%ls'", item.c_str(),
                        wide_key.c_str());
    }
    return true;
}
