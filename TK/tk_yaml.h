// Key/list configuration reader: named lists of items from a small subset of YAML.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// Orders wide texts as their UTF-16 forms would sort, unit by unit: a character beyond U+FFFF
// sorts below U+E000..U+FFFF, as its surrogate pair does.
struct tk_utf16_order {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// A map from each key to its items, in reading order. The file format, line by line (a line
// ends with LF or CR LF; blanks, the space character alone, around a line do not count):
//   - an empty line is skipped;
//   - a line ending with ":" opens the list of the key before that colon (a colon test that
//     comes first, so "- x:" is the key "- x");
//   - a line beginning with "-" adds the rest of the line, trimmed, to the current list;
//   - any other line is ignored.
// Keys and items are UTF-8. Items before the first key line belong to the empty key.
class tk_yaml_config : public std::map<std::wstring, std::vector<std::wstring>, tk_utf16_order> {
public:
    // Adds the file's lists to what the map holds; an item equal to an entry of `filter` is left
    // out. False, with the map unchanged, when the file cannot be opened (or `path` is null).
    // A last line without a line break counts like any other.
    bool load(const char* path, const std::set<std::wstring>& filter);
};
