// Running a piece of a test as an unprivileged user.
#include "tests/support/unprivileged.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {
namespace {

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string read_all(int fd) {
    std::string text;
    char buffer[512];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// In the child: drop root's privileges for good. An empty text on success.
std::string drop_privileges() {
    if (geteuid() != 0) {
        return {};
    }
    if (setgroups(0, nullptr) != 0 || setgid(unprivileged_gid) != 0 ||
        setuid(unprivileged_uid) != 0) {
        return std::string("cannot drop to an unprivileged user: ") + std::strerror(errno);
    }
    if (geteuid() == 0 || setuid(0) == 0) {
        return "the child is still privileged";
    }
    return {};
}

[[noreturn]] void run_child(int fd, const std::function<std::string()>& body) {
    std::string failure = drop_privileges();
    if (failure.empty()) {
        try {
            failure = body();
        } catch (const std::exception& e) {
            failure = std::string("the body threw: ") + e.what();
        } catch (...) {
            failure = "the body threw an exception of unknown type";
        }
    }
    write_all(fd, failure);
    close(fd);
    // _exit: the child must not run the parent's atexit handlers or flush its streams.
    _exit(failure.empty() ? 0 : 1);
}

} // namespace

testing::AssertionResult run_unprivileged(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return testing::AssertionFailure() << "pipe: " << std::strerror(errno);
    }
    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        close(fds[0]);
        close(fds[1]);
        return testing::AssertionFailure() << "fork: " << std::strerror(error);
    }
    if (child == 0) {
        close(fds[0]);
        run_child(fds[1], body);
    }
    close(fds[1]);
    std::string text = read_all(fds[0]);
    close(fds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return testing::AssertionFailure() << "waitpid: " << std::strerror(errno);
        }
    }
    if (WIFSIGNALED(status)) {
        return testing::AssertionFailure()
               << "the unprivileged child died of signal " << WTERMSIG(status)
               << (text.empty() ? "" : ": ") << text;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.empty()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << (text.empty() ? "the unprivileged child failed" : text);
}

} // namespace test_support
