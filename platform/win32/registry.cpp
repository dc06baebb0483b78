// Registry stand-in: HKEY_CURRENT_USER kept in a per-user file.
#include "platform/win32/registry.h"

#include "platform/win32/codepage.h"
#include "platform/win32/followed_path.h"
#include "platform/win32/unicode.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// A file larger than this is not a settings file any more; what lies beyond is not read.
constexpr std::size_t max_file_size = 64u << 20;
// The longest key name and value name Windows accepts, in UTF-16 units.
constexpr std::size_t max_key_name = 255;
constexpr std::size_t max_value_name = 16383;

constexpr std::string_view file_header = "; velmora registry: HKEY_CURRENT_USER";
// The writer ends every file with this line; a file without it was cut short by someone else.
constexpr std::string_view file_trailer = "; end";

struct reg_value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct reg_key {
    std::vector<std::u16string> path; // the names from the root down; empty for the root
    std::vector<reg_value> values;
};

struct reg_store {
    std::vector<reg_key> keys;
    bool damaged = false;
};

struct key_handle {
    std::vector<std::u16string> path;
    REGSAM access = 0;
};

// Every open handle, so that a closed or made-up handle is refused instead of followed.
std::mutex handles_mutex;
std::unordered_set<key_handle*> open_handles;

// Serialises the writers of this process; the lock file serialises them across processes.
std::mutex write_mutex;

// ---------------------------------------------------------------------------------------------
// Names

char16_t fold(char16_t c) {
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    wint_t lower = std::towlower(static_cast<wint_t>(c));
    return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

bool same_name(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

bool same_path(const std::vector<std::u16string>& a, const std::vector<std::u16string>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_name(a[i], b[i]))
            return false;
    return true;
}

bool is_surrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// A key name holds no control character and no unpaired surrogate, so that it can stand
// unescaped in the file's key lines.
bool valid_key_name(std::u16string_view name) {
    if (name.empty() || name.size() > max_key_name)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c < 0x20 || c == 0x7F)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (is_surrogate(c)) {
            return false;
        }
    }
    return true;
}

// Splits a subkey path at its backslashes. A trailing backslash is allowed; an empty name
// anywhere else is not.
DWORD split_sub_key(std::u16string_view sub_key, std::vector<std::u16string>& out) {
    out.clear();
    if (sub_key.empty())
        return ERROR_SUCCESS;
    std::size_t start = 0;
    while (start < sub_key.size()) {
        std::size_t end = sub_key.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = sub_key.size();
        std::u16string_view name = sub_key.substr(start, end - start);
        if (name.empty())
            return ERROR_BAD_PATHNAME;
        if (!valid_key_name(name))
            return ERROR_INVALID_PARAMETER;
        out.emplace_back(name);
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Where the file lives

std::string config_dir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.config";
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return std::string(found->pw_dir) + "/.config";
    return {};
}

std::string store_dir() {
    std::string dir = config_dir();
    return dir.empty() ? dir : dir + "/velmora";
}

DWORD registry_error(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// ---------------------------------------------------------------------------------------------
// Text of the file: UTF-8, with escapes for what cannot stand in a quoted string

void append_hex(std::string& out, unsigned value, int digits) {
    static const char hex[] = "0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += hex[(value >> shift) & 0xF];
}

void append_quoted(std::string& out, std::u16string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        switch (c) {
        case u'"':
            out += "\\\"";
            continue;
        case u'\\':
            out += "\\\\";
            continue;
        case u'\n':
            out += "\\n";
            continue;
        case u'\r':
            out += "\\r";
            continue;
        case u'\t':
            out += "\\t";
            continue;
        case 0:
            out += "\\0";
            continue;
        default:
            break;
        }
        bool paired = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                      text[i + 1] <= 0xDFFF;
        if (paired) {
            win32::append_utf8(out, text.substr(i, 2));
            ++i;
        } else if (c < 0x20 || c == 0x7F || is_surrogate(c)) {
            out += "\\u";
            append_hex(out, c, 4);
        } else {
            win32::append_utf8(out, text.substr(i, 1));
        }
    }
    out += '"';
}

std::u16string units_of(const std::vector<BYTE>& data) {
    std::u16string units(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return units;
}

std::vector<BYTE> bytes_of(std::u16string_view units) {
    std::vector<BYTE> data(units.size() * 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
        data[2 * i] = static_cast<BYTE>(units[i] & 0xFF);
        data[2 * i + 1] = static_cast<BYTE>(units[i] >> 8);
    }
    return data;
}

void append_value(std::string& out, const reg_value& value) {
    if (value.name.empty())
        out += '@';
    else
        append_quoted(out, value.name);
    out += '=';
    const std::vector<BYTE>& data = value.data;
    if (value.type == REG_DWORD && data.size() == 4) {
        out += "dword:";
        append_hex(out, data[0] | (data[1] << 8) | (data[2] << 16) | (unsigned(data[3]) << 24), 8);
    } else if (value.type == REG_SZ && data.size() >= 2 && data.size() % 2 == 0 &&
               data[data.size() - 1] == 0 && data[data.size() - 2] == 0) {
        std::u16string units = units_of(data);
        units.pop_back();
        append_quoted(out, units);
    } else {
        out += "hex(";
        std::string type;
        append_hex(type, value.type, 8);
        type.erase(0, std::min(type.find_first_not_of('0'), type.size() - 1));
        out += type;
        out += "):";
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (i)
                out += ',';
            append_hex(out, data[i], 2);
        }
    }
    out += '\n';
}

std::string format_store(const reg_store& store) {
    std::string out;
    out += file_header;
    out += '\n';
    for (const reg_key& key : store.keys) {
        out += "\n[";
        for (std::size_t i = 0; i < key.path.size(); ++i) {
            if (i)
                out += '\\';
            win32::append_utf8(out, key.path[i]);
        }
        out += "]\n";
        for (const reg_value& value : key.values)
            append_value(out, value);
    }
    out += '\n';
    out += file_trailer;
    out += '\n';
    return out;
}

// Decodes one UTF-8 sequence strictly (no overlong forms, no surrogates, nothing beyond
// U+10FFFF). False when the bytes at `pos` are not one.
bool decode_utf8(std::string_view text, std::size_t& pos, char32_t& out) {
    unsigned char lead = static_cast<unsigned char>(text[pos]);
    int extra;
    char32_t min;
    if (lead < 0x80) {
        out = lead;
        ++pos;
        return true;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        min = 0x80;
        out = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        min = 0x800;
        out = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        min = 0x10000;
        out = lead & 0x07;
    } else {
        return false;
    }
    if (pos + extra >= text.size())
        return false;
    for (int i = 1; i <= extra; ++i) {
        unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return false;
        out = (out << 6) | (next & 0x3F);
    }
    if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF))
        return false;
    pos += extra + 1;
    return true;
}

void append_code_point(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
        return;
    }
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_hex(std::string_view text, std::size_t digits, unsigned& out) {
    if (text.size() < digits)
        return false;
    out = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int d = hex_digit(text[i]);
        if (d < 0)
            return false;
        out = (out << 4) | static_cast<unsigned>(d);
    }
    return true;
}

// Reads a quoted string starting at `pos` (on its opening quote); `pos` ends after the
// closing quote.
bool parse_quoted(std::string_view line, std::size_t& pos, std::u16string& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            char32_t code;
            if (static_cast<unsigned char>(c) < 0x20 || !decode_utf8(line, pos, code))
                return false;
            append_code_point(out, code);
            continue;
        }
        if (++pos >= line.size())
            return false;
        char escape = line[pos++];
        switch (escape) {
        case '"':
        case '\\':
            out += static_cast<char16_t>(escape);
            break;
        case 'n':
            out += u'\n';
            break;
        case 'r':
            out += u'\r';
            break;
        case 't':
            out += u'\t';
            break;
        case '0':
            out += u'\0';
            break;
        case 'u': {
            unsigned unit;
            if (!parse_hex(line.substr(pos), 4, unit))
                return false;
            out += static_cast<char16_t>(unit);
            pos += 4;
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

bool parse_value_data(std::string_view text, reg_value& value) {
    if (text.starts_with("dword:")) {
        text.remove_prefix(6);
        unsigned number;
        if (text.size() != 8 || !parse_hex(text, 8, number))
            return false;
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                      static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
        return true;
    }
    if (text.starts_with("\"")) {
        std::size_t pos = 0;
        std::u16string units;
        if (!parse_quoted(text, pos, units) || pos != text.size())
            return false;
        units += u'\0';
        value.type = REG_SZ;
        value.data = bytes_of(units);
        return true;
    }
    if (!text.starts_with("hex("))
        return false;
    text.remove_prefix(4);
    std::size_t close = text.find("):");
    if (close == std::string_view::npos || close == 0 || close > 8)
        return false;
    unsigned type;
    if (!parse_hex(text, close, type))
        return false;
    text.remove_prefix(close + 2);
    value.type = type;
    value.data.clear();
    while (!text.empty()) {
        unsigned byte;
        if (!parse_hex(text, 2, byte))
            return false;
        value.data.push_back(static_cast<BYTE>(byte));
        text.remove_prefix(2);
        if (text.empty())
            break;
        if (text[0] != ',' || text.size() == 1)
            return false;
        text.remove_prefix(1);
    }
    return true;
}

reg_key* find_key(reg_store& store, const std::vector<std::u16string>& path) {
    for (reg_key& key : store.keys)
        if (same_path(key.path, path))
            return &key;
    return nullptr;
}

reg_value* find_value(reg_key& key, std::u16string_view name) {
    for (reg_value& value : key.values)
        if (same_name(value.name, name))
            return &value;
    return nullptr;
}

void put_value(reg_key& key, reg_value value) {
    if (reg_value* existing = find_value(key, value.name)) {
        existing->type = value.type;
        existing->data = std::move(value.data);
        return;
    }
    key.values.push_back(std::move(value));
}

// Reads what is sound: a line that does not parse is left out and marks the store damaged,
// and the lines around it still count.
reg_store parse_store(std::string_view text) {
    reg_store store;
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    reg_key* current = nullptr;
    std::string_view last_line;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        last_line = line;
        // The writer ends every line with a line break: a line without one was cut short, and
        // a value cut short (a byte list) could still look whole.
        if (end == std::string_view::npos) {
            store.damaged = true;
            break;
        }
        if (line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            current = nullptr;
            if (!line.ends_with(']')) {
                store.damaged = true;
                continue;
            }
            std::string_view inner = line.substr(1, line.size() - 2);
            std::u16string units;
            bool sound = true;
            for (std::size_t pos = 0; pos < inner.size() && sound;) {
                char32_t code;
                sound = decode_utf8(inner, pos, code);
                if (sound)
                    append_code_point(units, code);
            }
            std::vector<std::u16string> path;
            if (!sound || split_sub_key(units, path) != ERROR_SUCCESS) {
                store.damaged = true;
                continue;
            }
            current = find_key(store, path);
            if (!current) {
                store.keys.push_back({std::move(path), {}});
                current = &store.keys.back();
            }
            continue;
        }
        reg_value value;
        std::size_t pos = 0;
        bool sound = current != nullptr;
        if (sound && line[0] == '@') {
            pos = 1;
        } else if (sound) {
            sound = parse_quoted(line, pos, value.name) && value.name.size() <= max_value_name;
        }
        sound = sound && pos < line.size() && line[pos] == '=' &&
                parse_value_data(line.substr(pos + 1), value);
        if (!sound) {
            store.damaged = true;
            continue;
        }
        put_value(*current, std::move(value));
    }
    if (last_line != file_trailer && !last_line.empty())
        store.damaged = true;
    return store;
}

// ---------------------------------------------------------------------------------------------
// Reading and writing the file

std::string file_path(const std::string& dir) {
    return dir + "/registry";
}

// Reads the whole file; a missing file reads as empty. Returns 0 or an errno value. The path
// is followed as every file of the programs is, so a link planted by another user in a shared
// folder on the way is not read (EACCES).
int read_file(const std::string& path, std::string& out, bool& cut) {
    out.clear();
    cut = false;
    win32::followed_path at;
    if (int error = win32::follow_path(path, at))
        return error == ENOENT || error == ENOTDIR ? 0 : error;
    win32::file_descriptor file = win32::open_followed(at, O_RDONLY);
    if (!file.valid())
        return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    int fd = file.get();
    char buffer[65536];
    int error = 0;
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = errno;
            break;
        }
        if (got == 0)
            break;
        std::size_t room = max_file_size - out.size();
        out.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(got), room));
        if (static_cast<std::size_t>(got) > room) {
            cut = true;
            break;
        }
    }
    return error;
}

// Loads the store as it stands now. Returns ERROR_SUCCESS or the code of a file that exists
// but cannot be read.
DWORD load_store(const std::string& dir, reg_store& store) {
    std::string text;
    bool cut = false;
    if (dir.empty()) {
        store = {};
        return ERROR_SUCCESS;
    }
    if (int error = read_file(file_path(dir), text, cut))
        return registry_error(error);
    store = parse_store(text);
    store.damaged = store.damaged || cut;
    return ERROR_SUCCESS;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t done = write(fd, text.data(), text.size());
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
}

// Says why a file of the store was refused, so that a write that fails for it is not a mystery.
void report_refusal(const std::string& path, win32::path_refusal refusal, int error) {
    const char* why = nullptr;
    switch (refusal) {
    case win32::path_refusal::shared_link:
        why = "the symbolic link is in a shared folder and belongs to another user";
        break;
    case win32::path_refusal::link_loop:
        why = "it has too many levels of symbolic links";
        break;
    case win32::path_refusal::not_regular_file:
        why = "it is not a regular file";
        break;
    case win32::path_refusal::other_owner:
        why = "it belongs to another user";
        break;
    case win32::path_refusal::shared_hard_link:
        why = "it has other hard links in a shared folder";
        break;
    case win32::path_refusal::none:
        if (error != ELOOP)
            return;
        why = "it is a symbolic link";
        break;
    }
    std::fprintf(stderr, "velmora: the settings are not saved: '%s': %s\n", path.c_str(), why);
}

// Opens the name `name` of the held store folder to write into, as every writer of files does.
win32::file_descriptor open_store_file(int folder, const std::string& dir, const char* name,
                                       win32::write_mode how, int& error) {
    win32::path_refusal refusal = win32::path_refusal::none;
    win32::file_descriptor file = win32::open_in_folder(folder, name, how, 0600, refusal);
    error = file.valid() ? 0 : errno;
    if (!file.valid())
        report_refusal(dir + "/" + name, refusal, error);
    return file;
}

// Keeps the damaged file under a name of its own before it is replaced. The link costs no
// copy; where links are refused, the bytes are copied.
int keep_damaged(int folder, const std::string& dir, std::string& kept) {
    std::string path = file_path(dir);
    for (int n = 0; n < 1000; ++n) {
        std::string name = "registry.damaged" + (n ? "." + std::to_string(n) : std::string());
        kept = dir + "/" + name;
        if (linkat(folder, "registry", folder, name.c_str(), 0) == 0)
            return 0;
        if (errno == EEXIST)
            continue;
        if (errno == ENOENT)
            return 0;
        std::string text;
        bool cut = false;
        if (int error = read_file(path, text, cut))
            return error;
        int error = 0;
        win32::file_descriptor file =
            open_store_file(folder, dir, name.c_str(), win32::write_mode::create_new, error);
        if (error == EEXIST)
            continue;
        if (error)
            return error;
        return write_all(file.get(), text) && fsync(file.get()) == 0 ? 0 : errno;
    }
    return EEXIST;
}

// The new file is always created here and now, so that it is never a link nor a file someone
// else prepared. One of ours under its name is what a crash left, and this process holds the
// lock: it is removed. Anyone else's is refused, and the store is not replaced.
win32::file_descriptor create_new_file(int folder, const std::string& dir, int& error) {
    win32::file_descriptor file =
        open_store_file(folder, dir, "registry.new", win32::write_mode::create_new, error);
    if (error != EEXIST)
        return file;
    win32::path_refusal refusal = win32::path_refusal::none;
    error = win32::remove_in_folder(folder, "registry.new", refusal);
    if (error) {
        report_refusal(dir + "/registry.new", refusal, error);
        return file;
    }
    return open_store_file(folder, dir, "registry.new", win32::write_mode::create_new, error);
}

int replace_file(int folder, const std::string& dir, const std::string& text) {
    int error = 0;
    win32::file_descriptor file = create_new_file(folder, dir, error);
    if (error)
        return error;
    bool written = write_all(file.get(), text) && fsync(file.get()) == 0;
    error = written ? 0 : errno;
    if (::close(file.release()) != 0 && !error)
        error = errno;
    if (!error && renameat(folder, "registry.new", folder, "registry") != 0)
        error = errno;
    if (error) {
        unlinkat(folder, "registry.new", 0);
        return error;
    }
    win32::file_descriptor synced(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (synced.valid())
        fsync(synced.get());
    return 0;
}

class file_lock {
public:
    file_lock(int folder, const std::string& dir) {
        file_ = open_store_file(folder, dir, "registry.lock", win32::write_mode::append, error_);
        while (file_.valid() && flock(file_.get(), LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            break;
        }
    }
    int error() const { return error_; }

private:
    win32::file_descriptor file_;
    int error_ = 0;
};

// Applies `change` to the store as it stands on disk, under the lock, and writes the result
// back when `change` reports that it changed something.
DWORD modify_store(const std::function<DWORD(reg_store&, bool& changed)>& change) {
    std::lock_guard<std::mutex> guard(write_mutex);
    std::string dir = store_dir();
    if (dir.empty())
        return ERROR_PATH_NOT_FOUND;
    // The folder is held from here on: the lock, the new file and the rename all happen in the
    // folder the path led to under the links rule, whatever is done to the names on the way.
    win32::file_descriptor folder;
    win32::followed_path at;
    if (int error = win32::open_folder(dir, 0700, folder, at)) {
        report_refusal(at.refusal == win32::path_refusal::shared_link ? at.refused_link : dir,
                       at.refusal, error);
        return registry_error(error);
    }
    file_lock lock(folder.get(), dir);
    if (lock.error())
        return registry_error(lock.error());
    reg_store store;
    if (DWORD rc = load_store(dir, store); rc != ERROR_SUCCESS)
        return rc;
    bool changed = false;
    if (DWORD rc = change(store, changed); rc != ERROR_SUCCESS || !changed)
        return rc;
    if (store.damaged) {
        std::string kept;
        if (int error = keep_damaged(folder.get(), dir, kept))
            return registry_error(error);
        std::fprintf(stderr,
                     "velmora: the settings file %s was damaged; its earlier content is kept in "
                     "%s\n",
                     file_path(dir).c_str(), kept.c_str());
    }
    if (int error = replace_file(folder.get(), dir, format_store(store)))
        return registry_error(error);
    return ERROR_SUCCESS;
}

// Adds the key and every missing parent. True when something was added.
bool ensure_key(reg_store& store, const std::vector<std::u16string>& path) {
    bool added = false;
    std::vector<std::u16string> prefix;
    for (const std::u16string& name : path) {
        prefix.push_back(name);
        if (!find_key(store, prefix)) {
            store.keys.push_back({prefix, {}});
            added = true;
        }
    }
    return added;
}

// ---------------------------------------------------------------------------------------------
// Handles

bool is_root(HKEY key) {
    return key == HKEY_CURRENT_USER;
}

DWORD resolve(HKEY key, key_handle& out) {
    if (is_root(key)) {
        out.path.clear();
        out.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(handles_mutex);
    auto* handle = reinterpret_cast<key_handle*>(key);
    if (!key || !open_handles.contains(handle))
        return ERROR_INVALID_HANDLE;
    out = *handle;
    return ERROR_SUCCESS;
}

HKEY new_handle(std::vector<std::u16string> path, REGSAM access) {
    auto* handle = new key_handle{std::move(path), access};
    std::lock_guard<std::mutex> guard(handles_mutex);
    open_handles.insert(handle);
    return reinterpret_cast<HKEY>(handle);
}

// ---------------------------------------------------------------------------------------------
// Narrow text through the ANSI code page

bool ansi_to_utf16(std::string_view text, std::u16string& out) {
    out.clear();
    if (text.empty())
        return true;
    int length = static_cast<int>(text.size());
    int needed =
        MultiByteToWideChar(CP_ACP, 0, text.data(), length, static_cast<LPWSTR>(nullptr), 0);
    if (needed <= 0)
        return false;
    out.resize(static_cast<std::size_t>(needed));
    return MultiByteToWideChar(CP_ACP, 0, text.data(), length, out.data(), needed) == needed;
}

bool utf16_to_ansi(std::u16string_view text, std::string& out) {
    out.clear();
    if (text.empty())
        return true;
    int length = static_cast<int>(text.size());
    int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return false;
    out.resize(static_cast<std::size_t>(needed));
    return WideCharToMultiByte(CP_ACP, 0, text.data(), length, out.data(), needed, nullptr,
                               nullptr) == needed;
}

bool ansi_name(LPCSTR name, std::u16string& out) {
    return name ? ansi_to_utf16(name, out) : (out.clear(), true);
}

bool is_string_type(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

// ---------------------------------------------------------------------------------------------
// The operations behind the A and W entry points

// The full path of `sub_key` under the open key `key`.
DWORD sub_key_path(HKEY key, const std::u16string& sub_key, std::vector<std::u16string>& path) {
    key_handle parent;
    if (DWORD rc = resolve(key, parent); rc != ERROR_SUCCESS)
        return rc;
    std::vector<std::u16string> names;
    if (DWORD rc = split_sub_key(sub_key, names); rc != ERROR_SUCCESS)
        return rc;
    path = parent.path;
    path.insert(path.end(), names.begin(), names.end());
    return ERROR_SUCCESS;
}

LONG create_key(HKEY key, const std::u16string& sub_key, DWORD reserved, REGSAM desired,
                PHKEY result, LPDWORD disposition) {
    if (!result || reserved != 0)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> path;
    if (DWORD rc = sub_key_path(key, sub_key, path); rc != ERROR_SUCCESS)
        return static_cast<LONG>(rc);

    // An existing key opens without the lock and without writing, so a read-only
    // configuration directory still serves the settings it holds.
    reg_store current;
    bool exists = false;
    if (load_store(store_dir(), current) == ERROR_SUCCESS)
        exists = path.empty() || find_key(current, path);
    bool created = false;
    if (!exists) {
        DWORD rc = modify_store([&](reg_store& store, bool& changed) -> DWORD {
            created = !path.empty() && !find_key(store, path);
            changed = ensure_key(store, path);
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS)
            return static_cast<LONG>(rc);
    }
    *result = new_handle(std::move(path), desired);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG open_key(HKEY key, const std::u16string& sub_key, REGSAM desired, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> path;
    if (DWORD rc = sub_key_path(key, sub_key, path); rc != ERROR_SUCCESS)
        return static_cast<LONG>(rc);
    reg_store store;
    if (DWORD rc = load_store(store_dir(), store); rc != ERROR_SUCCESS)
        return static_cast<LONG>(rc);
    if (!path.empty() && !find_key(store, path))
        return ERROR_FILE_NOT_FOUND;
    *result = new_handle(std::move(path), desired);
    return ERROR_SUCCESS;
}

// Hands out a value's data the way RegQueryValueEx does.
LONG give_data(const std::vector<BYTE>& data, DWORD type, LPDWORD type_out, LPBYTE buffer,
               LPDWORD size) {
    if (buffer && !size)
        return ERROR_INVALID_PARAMETER;
    if (type_out)
        *type_out = type;
    if (!size)
        return ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(data.size());
    if (buffer && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (buffer && !data.empty())
        std::memcpy(buffer, data.data(), data.size());
    *size = needed;
    return ERROR_SUCCESS;
}

LONG query_value(HKEY key, const std::u16string& name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                 LPDWORD size, bool ansi) {
    if (reserved)
        return ERROR_INVALID_PARAMETER;
    key_handle handle;
    if (DWORD rc = resolve(key, handle); rc != ERROR_SUCCESS)
        return static_cast<LONG>(rc);
    if (!(handle.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    reg_store store;
    if (DWORD rc = load_store(store_dir(), store); rc != ERROR_SUCCESS)
        return static_cast<LONG>(rc);
    reg_key* found_key = find_key(store, handle.path);
    reg_value* value = found_key ? find_value(*found_key, name) : nullptr;
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    if (!ansi || !is_string_type(value->type))
        return give_data(value->data, value->type, type, data, size);
    std::string narrow;
    if (!utf16_to_ansi(units_of(value->data), narrow))
        return ERROR_NO_UNICODE_TRANSLATION;
    return give_data(std::vector<BYTE>(narrow.begin(), narrow.end()), value->type, type, data,
                     size);
}

LONG set_value(HKEY key, const std::u16string& name, DWORD reserved, DWORD type,
               std::vector<BYTE> data) {
    if (reserved != 0 || name.size() > max_value_name)
        return ERROR_INVALID_PARAMETER;
    key_handle handle;
    if (DWORD rc = resolve(key, handle); rc != ERROR_SUCCESS)
        return static_cast<LONG>(rc);
    if (!(handle.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    DWORD rc = modify_store([&](reg_store& store, bool& changed) -> DWORD {
        // A key removed by someone else meanwhile comes back rather than losing the value.
        changed = ensure_key(store, handle.path);
        reg_key* target = find_key(store, handle.path);
        if (!target) {
            store.keys.insert(store.keys.begin(), reg_key{});
            target = &store.keys.front();
        }
        reg_value* existing = find_value(*target, name);
        if (existing && existing->type == type && existing->data == data)
            return ERROR_SUCCESS;
        put_value(*target, reg_value{name, type, std::move(data)});
        changed = true;
        return ERROR_SUCCESS;
    });
    return static_cast<LONG>(rc);
}

} // namespace

// -------------------------------------------------------------------------------------------------

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR, DWORD, REGSAM desired,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    std::u16string path;
    if (!ansi_name(sub_key, path))
        return ERROR_NO_UNICODE_TRANSLATION;
    return create_key(key, path, reserved, desired, result, disposition);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR, DWORD, REGSAM desired,
                     LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    return create_key(key, sub_key ? std::u16string(sub_key) : std::u16string(), reserved, desired,
                      result, disposition);
}

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM desired, PHKEY result) {
    std::u16string path;
    if (!ansi_name(sub_key, path))
        return ERROR_NO_UNICODE_TRANSLATION;
    return open_key(key, path, desired, result);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD, REGSAM desired, PHKEY result) {
    return open_key(key, sub_key ? std::u16string(sub_key) : std::u16string(), desired, result);
}

LONG RegCloseKey(HKEY key) {
    if (is_root(key))
        return ERROR_SUCCESS;
    auto* handle = reinterpret_cast<key_handle*>(key);
    {
        std::lock_guard<std::mutex> guard(handles_mutex);
        if (!key || open_handles.erase(handle) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete handle;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    std::u16string wide_name;
    if (!ansi_name(name, wide_name))
        return ERROR_FILE_NOT_FOUND;
    return query_value(key, wide_name, reserved, type, data, size, true);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    return query_value(key, name ? std::u16string(name) : std::u16string(), reserved, type, data,
                       size, false);
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    if (!data && size)
        return ERROR_INVALID_PARAMETER;
    std::u16string wide_name;
    if (!ansi_name(name, wide_name))
        return ERROR_NO_UNICODE_TRANSLATION;
    if (!is_string_type(type))
        return set_value(key, wide_name, reserved, type, std::vector<BYTE>(data, data + size));
    std::u16string text;
    if (!ansi_to_utf16(std::string_view(reinterpret_cast<const char*>(data), size), text))
        return ERROR_NO_UNICODE_TRANSLATION;
    return set_value(key, wide_name, reserved, type, bytes_of(text));
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    if (!data && size)
        return ERROR_INVALID_PARAMETER;
    return set_value(key, name ? std::u16string(name) : std::u16string(), reserved, type,
                     std::vector<BYTE>(data, data + size));
}

std::string win32::registry_file() {
    std::string dir = store_dir();
    return dir.empty() ? dir : file_path(dir);
}
