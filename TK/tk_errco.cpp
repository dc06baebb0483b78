// Error-code map: the message a user is shown for an error code.
#include "TK/tk_errco.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

tk_error_converter::tk_error_converter(unsigned size, const item* table) {
    tk_log_message(2, "tk_error_converter::ctor (map size=%d)", static_cast<int>(size));
    load_map(size, table);
}

void tk_error_converter::load_map(unsigned size, const item* table) {
    tk_log_message(2, "tk_error_converter::load_map (map size=%d)", static_cast<int>(size));
    tk_check(table != nullptr, "tk_errco", 43);
    for (unsigned i = 0; i < size; ++i)
        map.try_emplace(table[i].code, table[i].text ? table[i].text : "");
}

std::string tk_error_converter::convert(int code) const {
    tk_log_message(2, "tk_error_converter::convert(%d)", code);
    auto found = map.find(code);
    if (found == map.end()) {
        tk_log_message(1, "Error message not found!");
        return {};
    }
    tk_log_message(1, "Error message has been found: %s", found->second.c_str());
    return found->second;
}
