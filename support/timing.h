#pragma once
// Medians and processor time for the measurements the library, its benchmarks
// and qxvisor take. Header only: the tool includes it without linking the
// library's internals.
#include <algorithm>
#include <ctime>
#include <vector>

inline double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Milliseconds of a clock: CLOCK_THREAD_CPUTIME_ID, a thread's own clock
// (pthread_getcpuclockid), or the process's.
inline double clock_ms(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Milliseconds between two readings of the C clock: the processor time of
// the whole process that the library's log lines give ("... elapsed {}ms").
inline double clock_elapsed_ms(std::clock_t from, std::clock_t to) {
    return static_cast<double>(to - from) * 1000.0 / CLOCKS_PER_SEC;
}

// Processor time of the whole process, worker threads included: on a machine
// others keep busy it tells the work done better than the wall clock does.
inline double process_cpu_ms() { return clock_ms(CLOCK_PROCESS_CPUTIME_ID); }
