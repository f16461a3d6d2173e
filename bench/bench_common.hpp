// Small timing and memory helpers shared by the native benchmarks.
#pragma once

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace corvane::bench {

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Resident set size and its high-water mark in MiB, from /proc/self/status.
inline double status_mib(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
    }
    return 0.0;
}
inline double rss_mib() { return status_mib("VmRSS"); }
inline double peak_rss_mib() { return status_mib("VmHWM"); }

// Resets the high-water mark so the next peak belongs to the next measurement.
inline void reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

}  // namespace corvane::bench
