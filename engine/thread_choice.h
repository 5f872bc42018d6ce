#pragma once
// Whether a processor session runs its forward passes on one thread or on
// several. More threads only pay off on free cores: on a board that the
// point-of-sale program keeps busy, each hand-over between threads at every
// layer waits for a time slice, and several threads are slower than one while
// costing several times its processor time.
//
// Nothing is timed in advance: the choice is made from the forwards the
// recognitions run anyway. Several threads are tried only while the cores they
// need look free (no other thread of the machine ready to run on them when the
// forward starts); their first forwards alternate with one thread's, several
// are kept only when they win clearly, and the other count is tried again now
// and then, so that the choice follows the load.
#include <string>
#include <vector>

struct FORWARD_TIME {
    double wall_ms = 0;
    double cpu_ms = 0;  // of every thread the forward ran on
};

// Threads of the whole machine, other than the caller, ready to run at this
// moment (the scheduler's count in /proc/loadavg); -1 when it cannot be read.
int threads_ready_elsewhere();

class ThreadChoice {
public:
    // Forwards taken for the first choice, for each of the two counts; fewer
    // when the first pair already shows several threads this many times
    // slower than one (a busy board, where each such forward is costly).
    static constexpr int kStartForwards = 3;
    static constexpr double kClearlySlower = 2.0;
    // Several threads are kept only at most this share of one thread's wall
    // time, for at most this multiple of its processor time.
    static constexpr double kWallShare = 0.8;
    static constexpr double kCpuMultiple = 1.3;
    // A forward on the count not chosen every so many forwards; the gap
    // doubles each time the choice stands, up to the last.
    static constexpr int kFirstProbeGap = 16;
    static constexpr int kLastProbeGap = 256;
    // The cores count as free when the latest reading of
    // threads_ready_elsewhere() and the median of this many latest readings
    // (the higher of two) leave room for the extra threads.
    static constexpr int kLoadReadings = 3;

    // Between 1 and `most` threads (most > 1) on a processor of `cores` cores.
    ThreadChoice(int most, int cores);

    // The thread count for the next forward, given threads_ready_elsewhere()
    // read just now: alternately both until the first choice, then the choice,
    // and now and then the other count; one thread whenever the extra threads
    // would have to share their cores.
    int next(int ready_elsewhere);
    // What the forward on the count next() gave cost.
    void record(FORWARD_TIME time);

    bool decided() const { return decided_; }
    // One thread until several have won.
    int chosen() const { return many_ ? most_ : 1; }
    int most() const { return most_; }
    // True once after each change of chosen() (the first choice included).
    bool take_change();
    // The figures behind the choice, e.g. "1 thread: 24.1 ms wall, 8.9 ms
    // processor; 2 threads: 30.2 ms wall, 17.0 ms processor".
    std::string reason() const;

private:
    struct Window {
        std::vector<FORWARD_TIME> last;  // the newest kStartForwards
        FORWARD_TIME median() const;
    };
    bool many_wins() const;
    bool cores_free() const;
    int wanted() const;
    void first_choice();
    void follow(bool substitute);

    int most_, cores_;
    Window one_, many_window_;
    std::vector<int> readings_;  // the newest kLoadReadings
    bool decided_ = false;
    bool many_ = false;
    bool changed_ = false;
    int wanted_ = 1, ran_ = 1;  // of the last next()
    bool free_ = true;          // the same
    int since_probe_ = 0;
    int probe_gap_ = kFirstProbeGap;
};
