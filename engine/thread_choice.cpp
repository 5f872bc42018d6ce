#include "engine/thread_choice.h"

#include <algorithm>
#include <cstdio>

ThreadChoice::ThreadChoice(int most) : most_(std::max(2, most)) {}

// Wall and processor medians taken apart: a forward that waited long for a
// core need not be the one that spun longest.
FORWARD_TIME ThreadChoice::Window::median() const {
    if (last.empty()) return {};
    std::vector<double> wall, cpu;
    for (const FORWARD_TIME& t : last) {
        wall.push_back(t.wall_ms);
        cpu.push_back(t.cpu_ms);
    }
    const size_t middle = last.size() / 2;
    std::nth_element(wall.begin(), wall.begin() + middle, wall.end());
    std::nth_element(cpu.begin(), cpu.begin() + middle, cpu.end());
    return {wall[middle], cpu[middle]};
}

bool ThreadChoice::many_wins() const {
    const FORWARD_TIME one = one_.median(), many = many_window_.median();
    return many.wall_ms <= kWallShare * one.wall_ms && many.cpu_ms <= kCpuMultiple * one.cpu_ms;
}

int ThreadChoice::next() const {
    if (!decided_) return one_.last.size() <= many_window_.last.size() ? 1 : most_;
    const int other = many_ ? 1 : most_;
    return since_probe_ >= probe_gap_ ? other : chosen();
}

void ThreadChoice::record(int threads, FORWARD_TIME time) {
    Window& window = threads > 1 ? many_window_ : one_;
    window.last.push_back(time);
    if (window.last.size() > static_cast<size_t>(kStartForwards)) window.last.erase(window.last.begin());
    if (!decided_) {
        const bool paired = !one_.last.empty() && one_.last.size() == many_window_.last.size();
        const bool clearly_slower = paired && many_window_.median().wall_ms > kClearlySlower * one_.median().wall_ms;
        if (!clearly_slower && many_window_.last.size() < static_cast<size_t>(kStartForwards)) return;
        decided_ = true;
        many_ = many_wins();
        return;
    }
    const bool probe = threads != chosen();
    if (probe) since_probe_ = 0;
    else ++since_probe_;
    // Every forward may change the choice: the chosen count's own figures
    // show a new load at once, the other's only at its next probe.
    const bool many = many_wins();
    if (many != many_) {
        many_ = many;
        since_probe_ = 0;
        probe_gap_ = kFirstProbeGap;
    } else if (probe) {
        probe_gap_ = std::min(2 * probe_gap_, kLastProbeGap);
    }
}

std::string ThreadChoice::reason() const {
    const FORWARD_TIME one = one_.median(), many = many_window_.median();
    char text[200];
    std::snprintf(text, sizeof text, "1 thread: %.1f ms wall, %.1f ms processor; %d threads: %.1f ms wall, %.1f ms processor",
                  one.wall_ms, one.cpu_ms, most_, many.wall_ms, many.cpu_ms);
    return text;
}
