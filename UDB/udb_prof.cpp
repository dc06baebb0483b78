// A profile: one conversion's settings in memory and in its file, as named sections of
// key=value pairs and named sections of plain lines.
#include "UDB/udb_prof.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "TK/tk_rtext.h"
#include "TK/tk_utils.h"
#include "platform/win32/unicode.h"

#include <fstream>
#include <sstream>

udb_profile::udb_profile() {
    add_section(tk_wmessage(tk_msg_section_queries));
    add_section(tk_wmessage(tk_msg_section_tables));
    add_section(tk_wmessage(tk_msg_section_views));
    add_section(tk_wmessage(tk_msg_section_generic));
}

udb_profile::~udb_profile() = default;

namespace {

std::wstring folded(std::wstring name) {
    for (wchar_t& c : name) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return name;
}

} // namespace

bool udb_profile_same_name(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && folded(a) == folded(b);
}

bool udb_profile_name_less::operator()(const std::wstring& a, const std::wstring& b) const {
    return udb_utf16_less()(folded(a), folded(b));
}

void udb_profile::add_section(const std::wstring& section) {
    sections.try_emplace(section);
}

void udb_profile::set_value(const std::wstring& section, const std::wstring& key,
                            const std::wstring& value) {
    sections[section].emplace_back(key, value);
}

std::wstring udb_profile::get_value(const std::wstring& section, const std::wstring& key) const {
    auto it = sections.find(section);
    if (it == sections.end()) {
        return {};
    }
    for (const auto& [k, v] : it->second) {
        if (udb_profile_same_name(k, key)) {
            return v;
        }
    }
    return {};
}

void udb_profile::add_line(const std::wstring& section, const std::wstring& line) {
    line_sections[section].push_back(line);
}

std::vector<std::wstring>& udb_profile::get_lines(const std::wstring& section) {
    return line_sections[section];
}

udb_profile_pairs& udb_profile::section_pairs(int message) {
    auto it = sections.find(tk_wmessage(message));
    if (it == sections.end()) {
        throw tk_exception_ex();
    }
    return it->second;
}

udb_profile_pairs& udb_profile::available_queries() {
    return section_pairs(tk_msg_section_queries);
}

udb_profile_pairs& udb_profile::selected_tables() {
    return section_pairs(tk_msg_section_tables);
}

udb_profile_pairs& udb_profile::selected_views() {
    return section_pairs(tk_msg_section_views);
}

namespace {

// "[name]": a section's name holds no "]", so a table name such as "[dbo].[orders]" or
// "[[x]]]" is never taken for one.
bool is_section_line(const std::wstring& line) {
    return line.size() >= 2 && line.front() == L'[' && line.find(L']') == line.size() - 1;
}

// Where a line's key ends: the first "=" outside bracketed name parts ("]]" stays inside), so
// that a table such as "[dbo].[a=b]" is read as one name; a line whose brackets do not close
// is split at its first "=", as before.
std::size_t key_end(const std::wstring& line) {
    bool inside = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const wchar_t c = line[i];
        if (inside) {
            if (c == L']') {
                if (i + 1 < line.size() && line[i + 1] == L']') {
                    ++i;
                } else {
                    inside = false;
                }
            }
        } else if (c == L'[') {
            inside = true;
        } else if (c == L'=') {
            return i;
        }
    }
    return inside ? line.find(L'=') : std::wstring::npos;
}

// Why a line of the file cannot be taken as text, or an empty string: a NUL would cut a value
// short where it is passed on (a password, a database name), and bytes that are not UTF-8
// would become U+FFFD characters in a name.
std::string line_fault(const std::string& bytes) {
    if (bytes.find('\0') != std::string::npos) {
        return "holds a NUL byte";
    }
    return win32::is_valid_utf8(bytes) ? std::string() : "is not valid UTF-8";
}

// The refusal of a line with a fault, naming its key when the fault is in the value.
[[noreturn]] void refuse_line(const std::string& path, const std::wstring* section,
                              const std::string& bytes, std::size_t number,
                              const std::string& fault) {
    const std::size_t eq = bytes.find('=');
    const std::string key = eq == std::string::npos ? std::string() : bytes.substr(0, eq);
    std::string where;
    if (section != nullptr && eq != std::string::npos && line_fault(key).empty()) {
        where = "the value of '" + tk_to_utf8(tk_wtrim(tk_utf8_to_wstring(key))) + "' in [" +
                tk_to_utf8(*section) + "]";
    } else {
        where = "line " + std::to_string(number);
    }
    throw tk_exception("Cannot read the profile " + path + ": " + where + " " + fault + ".", 1);
}

} // namespace

bool udb_profile::load(const std::wstring& path) {
    tk_log_wmessage(2, L"udb_profile::load(%ls)", path.c_str());
    std::string ansi_path;
    if (!tk_unicode_to_ansi3(path.c_str(), ansi_path)) {
        return false;
    }
    // The log empties its file when it starts: it must not be the profile.
    if (tk_logger* logger = tk_singleton<tk_logger>::pointer()) {
        logger->note_input(ansi_path, "profile");
    }
    std::string text;
    const tk_read_result read = tk_read_text_file(ansi_path, tk_text_file_limit, text);
    if (read == tk_read_result::missing) {
        throw tk_exception(std::wstring(tk_wmessage(tk_msg_profile_missing)), 1);
    }
    if (read == tk_read_result::directory || read == tk_read_result::too_large) {
        throw tk_exception(
            "Cannot read the profile " + ansi_path + ": " + tk_read_result_text(read) + ".", 1);
    }
    if (read != tk_read_result::ok) {
        return false;
    }
    // A byte-order mark, as some editors write it, is no part of the first line.
    static constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (text.compare(0, bom.size(), bom) == 0) {
        text.erase(0, bom.size());
    }
    std::istringstream in(std::move(text));
    const std::wstring* section = nullptr;
    udb_profile_pairs* pairs = nullptr;
    std::string bytes;
    std::size_t number = 0;
    while (std::getline(in, bytes)) {
        ++number;
        if (!bytes.empty() && bytes.back() == '\r') {
            bytes.pop_back();
        }
        if (const std::string fault = line_fault(bytes); !fault.empty()) {
            refuse_line(ansi_path, section, bytes, number, fault);
        }
        const std::wstring raw = tk_utf8_to_wstring(bytes);
        const std::wstring line = tk_wtrim(raw);
        if (is_section_line(line)) {
            auto it = sections.try_emplace(line.substr(1, line.size() - 2)).first;
            section = &it->first;
            pairs = &it->second;
            continue;
        }
        if (line.empty()) {
            continue;
        }
        if (section == nullptr) {
            return false;
        }
        // Every line of a section is kept as it stands, so that a plain-line section reads
        // back whole even where one of its lines holds "=".
        line_sections[*section].push_back(raw);
        const std::size_t eq = key_end(line);
        if (eq != std::wstring::npos) {
            pairs->emplace_back(tk_wtrim(line.substr(0, eq)), line.substr(eq + 1));
        } else {
            pairs->emplace_back(line, std::wstring());
        }
    }
    return true;
}

bool udb_profile::store(const std::wstring& path) const {
    tk_log_wmessage(2, L"udb_profile::store(%ls)", path.c_str());
    std::string ansi_path;
    if (!tk_unicode_to_ansi3(path.c_str(), ansi_path)) {
        return false;
    }
    std::ostringstream out;
    const std::wstring selected_tables_name = tk_wmessage(tk_msg_section_tables);
    auto write_line = [&out](const std::wstring& line) { out << tk_to_utf8(line) << "\r\n"; };
    for (const auto& [name, pairs] : sections) {
        write_line(L"[" + name + L"]");
        const bool tables = name == selected_tables_name;
        for (const auto& [key, value] : pairs) {
            // A table's name alone, unless it would read back as a section's name ("[a.b]").
            write_line(tables && value.empty() && !is_section_line(key) ? key : key + L"=" + value);
        }
        write_line(std::wstring());
    }
    for (const auto& [name, lines] : line_sections) {
        write_line(L"[" + name + L"]");
        for (const std::wstring& line : lines) {
            write_line(line);
        }
    }
    // A profile holds passwords: readable by its owner only, and never written into a file that
    // someone else owns or reaches through a link planted in a shared folder. A full disk or a
    // failed write must not pass for a saved profile; the old profile then stays whole.
    try {
        tk_replace_file_contents(ansi_path, "profile", out.str(), 0600);
    } catch (const tk_exception& error) {
        tk_log_message(1, "%s", error.message.c_str());
        return false;
    }
    return true;
}
