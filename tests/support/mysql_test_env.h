// The MariaDB test server that the test command starts, as the tests see it.
#pragma once

#include <string>

namespace test_support {

struct mysql_test_server {
    std::string host;
    unsigned port = 0;
    std::string user;
    std::string password;
    std::string socket;
};

// Reads VELMORA_TEST_MYSQL ("host=...;port=...;user=...;password=...;socket=...").
// Fails the calling test (and returns an empty server) when the variable is missing:
// the test command always sets it, so a missing server is a failure, never a skip.
mysql_test_server mysql_server_from_env();

// Replays a script file with the mariadb client, as a user would, into `database` (none named:
// the script chooses). Empty when the client succeeded, else its exit status and output.
std::string replay_script(const mysql_test_server& server, const std::string& database,
                          const std::string& script);

} // namespace test_support
