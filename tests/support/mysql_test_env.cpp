// The MariaDB test server that the test command starts, as the tests see it.
#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace test_support {

mysql_test_server mysql_server_from_env() {
    mysql_test_server server;
    const char* text = std::getenv("VELMORA_TEST_MYSQL");
    if (text == nullptr || *text == '\0') {
        ADD_FAILURE() << "VELMORA_TEST_MYSQL is not set: run the suite through tools/test.sh";
        return server;
    }
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ';')) {
        auto eq = item.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "host")
            server.host = value;
        else if (key == "port")
            server.port = static_cast<unsigned>(std::stoul(value));
        else if (key == "user")
            server.user = value;
        else if (key == "password")
            server.password = value;
        else if (key == "socket")
            server.socket = value;
    }
    return server;
}

} // namespace test_support
