// The MariaDB test server a benchmark was given in VELMORA_TEST_MYSQL.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>

namespace bench {

struct mysql_address {
    std::string host, port, user, password;
};

// Reads "host=...;port=...;user=...;password=..." (other items are ignored); false when the
// variable is unset or empty.
inline bool mysql_from_env(mysql_address& out) {
    const char* text = std::getenv("VELMORA_TEST_MYSQL");
    if (text == nullptr || *text == '\0') {
        return false;
    }
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ';')) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "host")
            out.host = value;
        if (key == "port")
            out.port = value;
        if (key == "user")
            out.user = value;
        if (key == "password")
            out.password = value;
    }
    return true;
}

} // namespace bench
