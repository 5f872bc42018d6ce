#include "engine/thread_choice.h"

#include <algorithm>
#include <cstdio>

int threads_ready_elsewhere() {
    // "0.52 1.16 0.77 2/345 12345": the fourth field is runnable/existing, the
    // caller, who is running, included.
    std::FILE* file = std::fopen("/proc/loadavg", "re");
    if (!file) return -1;
    int runnable = 0;
    const int read = std::fscanf(file, "%*s %*s %*s %d/", &runnable);
    std::fclose(file);
    return read == 1 && runnable >= 1 ? runnable - 1 : -1;
}

ThreadChoice::ThreadChoice(int most, int cores) : most_(std::max(2, most)), cores_(std::max(1, cores)) {}

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

// A reading of -1 (unknown) counts as none: the forwards' own figures decide.
// Both the latest reading and the median must leave the room: a thread ready
// to run now would share a core with this very forward, and one free moment
// among busy ones (the reading taken before the host got busy) is no free core.
bool ThreadChoice::cores_free() const {
    if (readings_.empty()) return true;
    const int room = cores_ - most_;
    if (std::max(0, readings_.back()) > room) return false;
    std::vector<int> sorted = readings_;
    const auto middle = sorted.begin() + sorted.size() / 2;  // the higher of two
    std::nth_element(sorted.begin(), middle, sorted.end());
    return std::max(0, *middle) <= room;
}

int ThreadChoice::wanted() const {
    if (!decided_) return one_.last.size() <= many_window_.last.size() ? 1 : most_;
    const int other = many_ ? 1 : most_;
    return since_probe_ >= probe_gap_ ? other : chosen();
}

int ThreadChoice::next(int ready_elsewhere) {
    readings_.push_back(ready_elsewhere);
    if (readings_.size() > static_cast<size_t>(kLoadReadings)) readings_.erase(readings_.begin());
    wanted_ = wanted();
    free_ = cores_free();
    ran_ = wanted_ > 1 && !free_ ? 1 : wanted_;
    return ran_;
}

void ThreadChoice::record(FORWARD_TIME time) {
    // Before the first choice, only figures of free cores are compared: one
    // thread slowed down by other work would make several look better.
    if (!decided_ && !free_) return;
    Window& window = ran_ > 1 ? many_window_ : one_;
    window.last.push_back(time);
    if (window.last.size() > static_cast<size_t>(kStartForwards)) window.last.erase(window.last.begin());
    if (decided_)
        follow(ran_ != wanted_);
    else
        first_choice();
}

void ThreadChoice::first_choice() {
    const bool paired = !one_.last.empty() && one_.last.size() == many_window_.last.size();
    const bool clearly_slower = paired && many_window_.median().wall_ms > kClearlySlower * one_.median().wall_ms;
    if (!clearly_slower && many_window_.last.size() < static_cast<size_t>(kStartForwards)) return;
    decided_ = true;
    many_ = many_wins();
    changed_ = true;
}

// `substitute`: one thread ran where several were wanted, the cores being
// busy. It neither counts as a probe nor delays one: the probe is made as soon
// as the cores are free.
void ThreadChoice::follow(bool substitute) {
    const bool probe = !substitute && ran_ != chosen();
    if (probe)
        since_probe_ = 0;
    else if (!substitute)
        ++since_probe_;
    // Every forward may change the choice: the chosen count's own figures
    // show a new load at once, the other's only at its next probe.
    const bool many = many_wins();
    if (many != many_) {
        many_ = many;
        changed_ = true;
        since_probe_ = 0;
        probe_gap_ = kFirstProbeGap;
    } else if (probe) {
        probe_gap_ = std::min(2 * probe_gap_, kLastProbeGap);
    }
}

bool ThreadChoice::take_change() {
    const bool changed = changed_;
    changed_ = false;
    return changed;
}

std::string ThreadChoice::reason() const {
    char one[80] = "1 thread: not measured", many[80];
    std::snprintf(many, sizeof many, "%d threads: not measured", most_);
    if (!one_.last.empty())
        std::snprintf(one, sizeof one, "1 thread: %.1f ms wall, %.1f ms processor", one_.median().wall_ms,
                      one_.median().cpu_ms);
    if (!many_window_.last.empty())
        std::snprintf(many, sizeof many, "%d threads: %.1f ms wall, %.1f ms processor", most_,
                      many_window_.median().wall_ms, many_window_.median().cpu_ms);
    return std::string(one) + "; " + many;
}
