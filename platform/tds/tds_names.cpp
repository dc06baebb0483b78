// Table names for IOpenRowset.
#include "platform/tds/tds_names.h"

#include <vector>

namespace {

bool blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

} // namespace

bool tds_quote_table_name(std::u16string_view name, std::u16string& quoted) {
    std::vector<std::u16string> parts;
    std::size_t i = 0;
    const std::size_t n = name.size();
    for (;;) {
        while (i < n && blank(name[i])) {
            ++i;
        }
        std::u16string part;
        if (i < n && (name[i] == u'[' || name[i] == u'"')) {
            const char16_t close = name[i] == u'[' ? u']' : u'"';
            ++i;
            bool closed = false;
            while (i < n) {
                if (name[i] == close) {
                    if (i + 1 < n && name[i + 1] == close) {
                        part.push_back(close);
                        i += 2;
                        continue;
                    }
                    closed = true;
                    ++i;
                    break;
                }
                part.push_back(name[i++]);
            }
            if (!closed) {
                return false;
            }
            while (i < n && blank(name[i])) {
                ++i;
            }
            if (i < n && name[i] != u'.') {
                return false;
            }
        } else {
            while (i < n && name[i] != u'.') {
                if (name[i] == u'[' || name[i] == u']' || name[i] == u'"') {
                    return false;
                }
                part.push_back(name[i++]);
            }
            while (!part.empty() && blank(part.back())) {
                part.pop_back();
            }
        }
        parts.push_back(std::move(part));
        if (i >= n) {
            break;
        }
        ++i; // the "."
    }
    if (parts.empty() || parts.size() > 4 || parts.back().empty()) {
        return false;
    }
    quoted.clear();
    for (std::size_t p = 0; p < parts.size(); ++p) {
        if (p > 0) {
            quoted.push_back(u'.');
        }
        if (parts[p].empty()) {
            continue; // "db..table": the default owner
        }
        quoted.push_back(u'[');
        for (char16_t c : parts[p]) {
            quoted.push_back(c);
            if (c == u']') {
                quoted.push_back(u']');
            }
        }
        quoted.push_back(u']');
    }
    return true;
}
