// The MariaDB test server that the test command starts, as the tests see it.
#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>

#include <cstdio>
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

std::string replay_script(const mysql_test_server& server, const std::string& database,
                          const std::string& script) {
    const std::string command = "mariadb --no-defaults --default-character-set=utf8mb4 "
                                "--max-allowed-packet=1G -h " +
                                server.host + " -P " + std::to_string(server.port) + " -u " +
                                server.user + " -p'" + server.password + "' " + database + " < '" +
                                script + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "the mariadb client could not be started";
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pclose(pipe);
    return status == 0 ? std::string() : "exit " + std::to_string(status) + ": " + output;
}

} // namespace test_support
