// Full and split paths on POSIX paths.
#include "platform/win32/path.h"

#include "platform/win32/codepage.h"

#include <climits>
#include <unistd.h>
#include <vector>

namespace win32 {
namespace {

template <typename Char> std::basic_string_view<Char> up_to_nul(std::basic_string_view<Char> s) {
    std::size_t nul = s.find(Char{0});
    return nul == s.npos ? s : s.substr(0, nul);
}

// An absolute path with ".", ".." and repeated separators removed by its text alone.
template <typename Char> std::basic_string<Char> normalise(std::basic_string_view<Char> path) {
    const Char slash = Char('/');
    std::vector<std::basic_string_view<Char>> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t next = path.find(slash, i);
        if (next == path.npos) {
            next = path.size();
        }
        std::basic_string_view<Char> part = path.substr(i, next - i);
        i = next + 1;
        if (part.empty() || (part.size() == 1 && part[0] == Char('.'))) {
            continue;
        }
        if (part.size() == 2 && part[0] == Char('.') && part[1] == Char('.')) {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::basic_string<Char> out;
    for (auto part : parts) {
        out += slash;
        out += part;
    }
    if (out.empty() || (path.back() == slash && !parts.empty())) {
        out += slash;
    }
    return out;
}

bool working_directory(std::string& out) {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        return false;
    }
    out = buffer;
    return true;
}

template <typename Char>
bool full_path_of(std::basic_string_view<Char> path, std::basic_string<Char> base,
                  std::basic_string<Char>& out) {
    std::basic_string<Char> joined = std::move(base);
    if (!path.empty()) {
        joined += Char('/');
        joined += path;
    }
    std::basic_string<Char> result = normalise<Char>(joined);
    if (result.size() > max_path_length()) {
        return false;
    }
    out = std::move(result);
    return true;
}

template <typename Char> basic_path_parts<Char> split(std::basic_string_view<Char> path) {
    basic_path_parts<Char> parts;
    std::size_t slash = path.rfind(Char('/'));
    std::basic_string_view<Char> file = path;
    if (slash != path.npos) {
        parts.dir = path.substr(0, slash + 1);
        file = path.substr(slash + 1);
    }
    std::size_t dot = file.rfind(Char('.'));
    if (dot == file.npos || dot == 0) {
        parts.name = file;
    } else {
        parts.name = file.substr(0, dot);
        parts.ext = file.substr(dot);
    }
    return parts;
}

template <typename Char> std::basic_string<Char> join(const basic_path_parts<Char>& parts) {
    std::basic_string<Char> out = parts.drive;
    out += parts.dir;
    if (!parts.dir.empty() && parts.dir.back() != Char('/')) {
        out += Char('/');
    }
    out += parts.name;
    if (!parts.ext.empty() && parts.ext.front() != Char('.')) {
        out += Char('.');
    }
    out += parts.ext;
    return out;
}

} // namespace

std::size_t max_path_length() {
    return PATH_MAX - 1;
}

bool full_path(std::string_view path, std::string& out) {
    path = up_to_nul(path);
    if (path.size() > max_path_length()) {
        return false;
    }
    std::string base;
    if (path.empty() || path.front() != '/') {
        if (!working_directory(base)) {
            return false;
        }
    }
    return full_path_of<char>(path, std::move(base), out);
}

bool full_path(std::wstring_view path, std::wstring& out) {
    path = up_to_nul(path);
    if (path.size() > max_path_length()) {
        return false;
    }
    std::wstring base;
    if (path.empty() || path.front() != L'/') {
        std::string narrow;
        if (!working_directory(narrow)) {
            return false;
        }
        base.resize(narrow.size());
        int got = MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                                      base.data(), static_cast<int>(base.size()));
        if (got == 0) {
            return false;
        }
        base.resize(static_cast<std::size_t>(got));
    }
    return full_path_of<wchar_t>(path, std::move(base), out);
}

path_parts split_path(std::string_view path) {
    return split(path);
}

wpath_parts split_path(std::wstring_view path) {
    return split(path);
}

std::string make_path(const path_parts& parts) {
    return join(parts);
}

std::wstring make_path(const wpath_parts& parts) {
    return join(parts);
}

} // namespace win32
