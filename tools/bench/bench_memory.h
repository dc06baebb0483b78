// The peak memory the benchmarks report for what they measure.
#pragma once

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace bench {

// The peak resident size since the last reset, in KiB (VmHWM); without /proc, the process's
// peak so far.
inline long peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Starts a new peak (needs Linux 4.0).
inline void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace bench
