// Runs a peer program of a benchmark as a child process and measures it as a whole.
#pragma once

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
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

// Where the processes of a benchmark run. A reader's CPU time on this kind of machine swings
// twofold with where the scheduler puts it against the server it reads from, so every
// contender runs on one processor and each server on processors of its own. The run scripts
// pin the MariaDB server (BENCH_MYSQL_CPUS); the contenders and the TDS test server are pinned
// here. Machines with fewer than 6 processors are not pinned, and the benchmark says so.
struct pinning {
    int contender = -1;
    int tds_server = -1;

    static pinning of_machine() {
        pinning p;
        if (sysconf(_SC_NPROCESSORS_ONLN) >= 6) {
            p.contender = 2;
            p.tds_server = 3;
        }
        return p;
    }
    bool on() const { return contender >= 0; }
    std::string said() const {
        if (!on()) {
            return "not pinned (fewer than 6 processors)";
        }
        const char* mysql = std::getenv("BENCH_MYSQL_CPUS");
        return "contenders on processor " + std::to_string(contender) +
               ", the TDS test server on " + std::to_string(tds_server) + ", MariaDB on " +
               (mysql != nullptr && *mysql != '\0' ? std::string(mysql) : std::string("any"));
    }
};

// Pins the calling process (or thread, before it starts others) to one processor; a negative
// processor leaves it free.
inline void pin_to(int processor) {
    if (processor < 0) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(processor, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Runs `args` (found on the PATH) with its standard output in `out_path`, its standard error
// too when `with_errors`, and its standard input from `in_path` when given; on `processor`
// when it is not negative.
inline child_run run_child(const std::vector<std::string>& args, const std::string& out_path,
                           const std::string& in_path = std::string(), bool with_errors = false,
                           int processor = -1) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        pin_to(processor);
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

// The last `count` lines of a file, to show why a round failed.
inline std::string tail_of(const std::string& path, std::size_t count = 12) {
    std::ifstream in(path, std::ios::binary);
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
        if (lines.size() > count) {
            lines.pop_front();
        }
    }
    std::string text;
    for (const std::string& l : lines) {
        text += "    | " + l + "\n";
    }
    return text.empty() ? "    | (no output)\n" : text;
}

// The lines of a file that start with `prefix`: the rows of a script written one INSERT a row.
inline unsigned long lines_starting(const std::string& path, const std::string& prefix) {
    std::ifstream in(path, std::ios::binary);
    unsigned long count = 0;
    std::string line;
    while (std::getline(in, line)) {
        count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return count;
}

// A program built beside the benchmark: the copy in the benchmark's own folder when the run
// script copied them together (so that a build running beside it cannot relink it under a
// round), otherwise where the build put it.
inline std::string companion(const std::string& name, const std::string& built_at) {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path beside = self.parent_path() / name;
        if (std::filesystem::exists(beside) && beside != built_at) {
            return beside.string();
        }
    }
    return built_at;
}

} // namespace bench
