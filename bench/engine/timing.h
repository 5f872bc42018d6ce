#pragma once
// Medians and processor time for the engine benchmarks.
#include <algorithm>
#include <ctime>
#include <vector>

inline double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Processor time of the whole process, worker threads included: on a machine
// others keep busy it tells the work done better than the wall clock does.
inline double process_cpu_ms() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}
