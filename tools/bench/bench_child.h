// Runs a peer program of a benchmark as a child process and measures it as a whole.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct child_run {
    double seconds = 0;
    double cpu_seconds = 0; // user and system time of the process
    long peak_kib = 0;
    int exit_code = -1; // 128 + the signal for a child a signal ended
};

inline double cpu_of(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs `args` (found on the PATH) with its standard output in `out_path`, its standard error
// too when `with_errors`, and its standard input from `in_path` when given.
inline child_run run_child(const std::vector<std::string>& args, const std::string& out_path,
                           const std::string& in_path = std::string(), bool with_errors = false) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (std::freopen(out_path.c_str(), "w", stdout) == nullptr ||
            (with_errors && std::freopen(out_path.c_str(), "a", stderr) == nullptr) ||
            (!in_path.empty() && std::freopen(in_path.c_str(), "r", stdin) == nullptr)) {
            _exit(127);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    child_run m;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m.peak_kib = usage.ru_maxrss;
        m.cpu_seconds = cpu_of(usage);
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return m;
}

} // namespace bench
