// Figures over the rounds of a benchmark.
#pragma once

#include "tools/bench/bench_child.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

inline double min_of(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

inline double max_of(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

inline double median_of(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One round of one contender: what was measured, and why it failed when it did (its exit
// code, a wrong row count) with the end of its output.
struct round_run {
    child_run m;
    std::string failure; // empty for a round that succeeded
    std::string output_tail;
    bool ok() const { return failure.empty(); }
};

// The rounds of one contender. A failed round stays out of every figure and fails the
// benchmark.
struct series {
    std::string what;
    std::vector<round_run> rounds;

    explicit series(std::string name) : what(std::move(name)) {}

    // Adds a round; `failure` says what went wrong beyond the exit code (empty when nothing
    // did), `output` is the file whose end shows the cause.
    void add(const child_run& m, std::string failure = {}, const std::string& output = {}) {
        round_run r{m, std::move(failure), {}};
        if (m.exit_code != 0) {
            r.failure = "exit code " + std::to_string(m.exit_code) +
                        (r.failure.empty() ? std::string() : "; " + r.failure);
        }
        if (!r.ok() && !output.empty()) {
            r.output_tail = tail_of(output);
        }
        rounds.push_back(std::move(r));
    }
    bool failed() const {
        return std::any_of(rounds.begin(), rounds.end(),
                           [](const round_run& r) { return !r.ok(); });
    }
    template <class F> std::vector<double> of_good(F&& f) const {
        std::vector<double> v;
        for (const round_run& r : rounds) {
            if (r.ok()) {
                v.push_back(f(r.m));
            }
        }
        return v;
    }
    // Every failed round with its cause, on standard error.
    void print_failures() const {
        std::fflush(stdout);
        for (std::size_t i = 0; i < rounds.size(); ++i) {
            if (!rounds[i].ok()) {
                std::fprintf(stderr, "FAILED: %s, round %zu: %s\n%s", what.c_str(), i + 1,
                             rounds[i].failure.c_str(), rounds[i].output_tail.c_str());
            }
        }
    }
};

// Min and median of wall and CPU time over the rounds that succeeded, the rate, and the
// highest peak resident memory of those rounds.
inline void print_series(const series& s, double rows) {
    const std::vector<double> wall = s.of_good([](const child_run& m) { return m.seconds; });
    const std::vector<double> cpu = s.of_good([](const child_run& m) { return m.cpu_seconds; });
    const std::vector<double> peak =
        s.of_good([](const child_run& m) { return static_cast<double>(m.peak_kib); });
    if (wall.empty()) {
        std::printf("%-50s no round succeeded\n", s.what.c_str());
        return;
    }
    std::printf("%-50s %8.2f %8.2f s %9.0f rows/s %6.2f %6.2f us CPU/row  peak %6.1f MB%s\n",
                s.what.c_str(), min_of(wall), median_of(wall), rows / median_of(wall),
                min_of(cpu) * 1e6 / rows, median_of(cpu) * 1e6 / rows, max_of(peak) / 1024.0,
                wall.size() < s.rounds.size() ? "  (failed rounds left out)" : "");
}

// The per-round ratios of `a` to `b` (wall and CPU time) over the rounds where both
// succeeded: their min and median.
inline void print_ratio(const series& a, const series& b) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (std::size_t i = 0; i < std::min(a.rounds.size(), b.rounds.size()); ++i) {
        if (a.rounds[i].ok() && b.rounds[i].ok() && b.rounds[i].m.seconds > 0 &&
            b.rounds[i].m.cpu_seconds > 0) {
            wall.push_back(a.rounds[i].m.seconds / b.rounds[i].m.seconds);
            cpu.push_back(a.rounds[i].m.cpu_seconds / b.rounds[i].m.cpu_seconds);
        }
    }
    if (wall.empty()) {
        std::printf("  %-28s / %-48s no round where both succeeded\n", a.what.c_str(),
                    b.what.c_str());
        return;
    }
    std::printf("  %-28s / %-48s time %5.2f %5.2f  CPU %5.2f %5.2f  (%zu rounds)\n", a.what.c_str(),
                b.what.c_str(), min_of(wall), median_of(wall), min_of(cpu), median_of(cpu),
                wall.size());
}

inline void print_load(const char* when) {
    std::ifstream in("/proc/loadavg");
    std::string load;
    std::getline(in, load);
    std::printf("load of the machine %s: %s (%ld processors)\n", when, load.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
}

} // namespace bench
