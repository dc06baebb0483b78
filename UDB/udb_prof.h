// A profile: one conversion's settings in memory and in its file, as named sections of
// key=value pairs and named sections of plain lines.
#pragma once

#include "UDB/udb_util.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

using udb_profile_pairs = std::vector<std::pair<std::wstring, std::wstring>>;

// Section and key names are the same in any letter case, as profiles written by hand spell them
// ("[selected tables]", "Mode="); only ASCII letters fold, whatever the locale.
bool udb_profile_same_name(const std::wstring& a, const std::wstring& b);

// The order of section names: udb_utf16_less of the names with their ASCII letters folded.
struct udb_profile_name_less {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// The file is UTF-8, written without a byte-order mark (one is skipped when read). Written: the
// key/value sections in name order, each as "[name]", its "key=value" lines and an empty line; then
// the plain-line sections in name order, each as "[name]" and its lines. Lines end with CR LF when
// written; CR LF or LF are read. A profile object serves one load or one store.
class udb_profile {
public:
    // Holds the empty sections "Available Queries", "Selected Tables", "Selected Views" and
    // "Generic settings".
    udb_profile();
    ~udb_profile();

    // Creates an empty key/value section unless one of that name exists.
    void add_section(const std::wstring& section);
    // Appends the pair, creating the section; a pair with the same key is not replaced.
    void set_value(const std::wstring& section, const std::wstring& key, const std::wstring& value);
    // The value of the first pair with that key (udb_profile_same_name); empty when the section
    // or key is missing.
    std::wstring get_value(const std::wstring& section, const std::wstring& key) const;
    // Appends a line to the plain-line section, creating it.
    void add_line(const std::wstring& section, const std::wstring& line);
    // The plain lines of the section in file order; a missing section is created empty.
    std::vector<std::wstring>& get_lines(const std::wstring& section);

    // The pairs of "Available Queries", "Selected Tables" and "Selected Views"; tk_exception_ex
    // (level 1) when the section is missing.
    udb_profile_pairs& available_queries();
    udb_profile_pairs& selected_tables();
    udb_profile_pairs& selected_views();
    udb_profile_pairs& get_available_queries() { return available_queries(); }
    udb_profile_pairs& get_selected_tables() { return selected_tables(); }
    udb_profile_pairs& get_selected_views() { return selected_views(); }

    // Reads the file into the profile. A missing file: tk_exception level 1 "Profile does not
    // exist. Please verify the correct path/name was given."; a directory or a file larger than
    // tk_text_file_limit, and a line holding a NUL byte or bytes that are not UTF-8:
    // tk_exception level 1 naming the path and the reason (the key whose value it is, else
    // the line's number). False when the file cannot be opened or read, or a line comes before
    // the first section line; what was read before stays. Lines of any length are read. Within a
    // section, a line with "=" is a pair (the key trimmed, the value after the first "=" up to the
    // line's last non-blank); every other non-empty line is a pair (the trimmed line, empty value);
    // every non-empty line is also kept as it stands in the plain-line section of that name.
    bool load(const std::wstring& path);

    // Writes the profile, whole or not at all (tk_replace_file_contents), readable by its owner
    // only (0600); false when it cannot be written or is refused (a link the protected-symlinks
    // rule would not follow, a file of another user, not a regular file), the reason in the trace.
    // In "Selected Tables" a pair with an empty value is written as its key alone.
    bool store(const std::wstring& path) const;

    // A section read twice, in any letter case, is one section with the spelling first met.
    std::map<std::wstring, udb_profile_pairs, udb_profile_name_less> sections;
    std::map<std::wstring, std::vector<std::wstring>, udb_profile_name_less> line_sections;

private:
    udb_profile_pairs& section_pairs(int message);
};
