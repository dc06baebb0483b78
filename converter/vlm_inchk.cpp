// Checks of connection texts and paths that come from users, profiles and files.
#include "converter/vlm_inchk.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

#include <arpa/inet.h>
#include <climits>
#include <string_view>
#include <sys/stat.h>

namespace {

bool is_label_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// One dot-separated part of a host name: 1 to 63 letters, digits, '-' or '_', not starting or
// ending with '-'.
bool is_host_label(std::string_view label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
        return false;
    }
    for (const char c : label) {
        if (!is_label_char(c)) {
            return false;
        }
    }
    return true;
}

bool is_host_name(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1); // a fully qualified name
    }
    if (name.empty() || name.size() > 253) {
        return false;
    }
    for (std::size_t start = 0;;) {
        const std::size_t dot = name.find('.', start);
        if (!is_host_label(name.substr(start, dot - start))) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        start = dot + 1;
    }
}

bool is_ip_address(const std::string& text) {
    unsigned char address[16];
    return inet_pton(AF_INET, text.c_str(), address) == 1 ||
           inet_pton(AF_INET6, text.c_str(), address) == 1;
}

void refuse_nul(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos) {
        throw tk_exception(std::string("Invalid MySQL ") + what + ": it holds a NUL character.", 1);
    }
}

} // namespace

bool vlm_is_mysql_host(const std::string& host) {
    if (host.empty()) {
        return true;
    }
    if (host.find('\0') != std::string::npos) {
        return false;
    }
    return is_ip_address(host) || is_host_name(host);
}

void vlm_check_mysql_connection(const std::string& host, const std::string& user,
                                const std::string& password) {
    if (!vlm_is_mysql_host(host)) {
        throw tk_exception("Invalid MySQL host: '" + host.substr(0, host.find('\0')) +
                               "'.\nGive a host name, an IPv4 or IPv6 address, or nothing for "
                               "the local server.",
                           1);
    }
    refuse_nul(user, "user name");
    refuse_nul(password, "password");
}

void vlm_check_path_length(const std::string& path) {
    if (path.size() >= PATH_MAX) {
        throw tk_exception("Destination path is too long (" + std::to_string(path.size()) +
                               " bytes; this system allows " + std::to_string(PATH_MAX - 1) + ").",
                           1);
    }
    for (std::size_t start = 0; start < path.size();) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        if (slash - start > NAME_MAX) {
            throw tk_exception("A name in the destination path is too long (more than " +
                                   std::to_string(NAME_MAX) + " bytes): " + path.substr(start, 40) +
                                   "...",
                               1);
        }
        start = slash + 1;
    }
}

void vlm_check_dest_not_log(const std::string& path) {
    const tk_logger* logger = tk_singleton<tk_logger>::pointer();
    if (logger == nullptr || !logger->enabled()) {
        return;
    }
    struct stat dest {};
    struct stat log {};
    if (::stat(path.c_str(), &dest) != 0 || ::stat(logger->log_path().c_str(), &log) != 0) {
        return; // a file that does not exist yet is not the log
    }
    if (dest.st_dev == log.st_dev && dest.st_ino == log.st_ino) {
        throw tk_exception("The destination file " + path +
                               " is the trace log file.\nGive the log or the script another name.",
                           1);
    }
}
