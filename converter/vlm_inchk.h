// Checks of connection texts and paths that come from users, profiles and files.
#pragma once

#include <string>

// A MySQL host the client library takes as one host: empty (the local server), a host name,
// an IPv4 address or an IPv6 address. The library reads a ";" as a connection-string separator
// and a "," as a failover list, so nothing else may reach it.
bool vlm_is_mysql_host(const std::string& host);

// Refuses (tk_exception, level 1) a MySQL host that vlm_is_mysql_host rejects, and a user,
// password or database text holding a NUL (which the client library would cut short). Every
// other user name and password passes as it is.
void vlm_check_mysql_connection(const std::string& host, const std::string& user,
                                const std::string& password);

// Refuses (tk_exception, level 1) a destination path that cannot name a file on this system:
// longer than the system's path limit, or with a part longer than its name limit.
void vlm_check_path_length(const std::string& path);

// Refuses (tk_exception, level 1) a script destination that is the trace log file itself (the
// same file, also through a symbolic or hard link): both would write into one file.
void vlm_check_dest_not_log(const std::string& path);
