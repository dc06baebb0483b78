// Reading a small text file (a profile, a table list) whole, with a bound on its size.
#include "TK/tk_rtext.h"

#include "TK/tk_fpath.h"
#include "TK/tk_stop.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Waits until the pipe has bytes or its writer is gone. A pipe opened for reading with no
// writer yet reports nothing until one comes (Linux), so this waits for it too. False when a
// stop signal ends the wait (errno EINTR) or poll fails.
bool wait_readable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    for (;;) {
        if (::poll(&watched, 1, -1) > 0) {
            return true;
        }
        if (errno != EINTR || tk_stop_requested()) {
            return false;
        }
    }
}

} // namespace

tk_read_result tk_read_text_file(const std::string& path, std::size_t limit, std::string& bytes) {
    bytes.clear();
    // Without O_NONBLOCK, opening a named pipe waits for its writer inside open(), where a stop
    // signal cannot end the wait; opened so, the wait is the poll() below. Links are followed
    // only as the kernel's protected-symlinks rule would: a file read for a user is never one
    // another user redirected the name to.
    const tk_fd file = tk_open_for_reading(path, O_RDONLY | O_NONBLOCK);
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return tk_read_result::missing;
        }
        return errno == EISDIR ? tk_read_result::directory : tk_read_result::failed;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        return tk_read_result::failed;
    }
    if (S_ISDIR(st.st_mode)) {
        return tk_read_result::directory;
    }
    // A pipe is read to its end: the bytes its writer has not written yet are part of the file
    // (`--tab_file=<(cmd)`), and so are those of a writer that has not even opened it.
    const bool pipe = S_ISFIFO(st.st_mode);
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || (!pipe && ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        return tk_read_result::failed;
    }
    char buffer[65536];
    for (;;) {
        if (pipe && !wait_readable(file.get())) {
            return tk_read_result::failed;
        }
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) {
            return tk_read_result::ok;
        }
        if (got < 0) {
            if (errno == EINTR || (pipe && errno == EAGAIN)) {
                continue;
            }
            return tk_read_result::failed;
        }
        if (static_cast<std::size_t>(got) > limit - bytes.size()) {
            bytes.clear();
            bytes.shrink_to_fit();
            return tk_read_result::too_large;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string tk_read_result_text(tk_read_result result) {
    switch (result) {
    case tk_read_result::ok:
        return {};
    case tk_read_result::missing:
        return "the file does not exist";
    case tk_read_result::directory:
        return "the path names a directory, not a file";
    case tk_read_result::too_large:
        return "the file is larger than " + std::to_string(tk_text_file_limit >> 20) + " MiB";
    case tk_read_result::failed:
        return std::string("the file cannot be read: ") + std::strerror(errno);
    }
    return {};
}
