#pragma once
// Whether a processor session runs its forward passes on one thread or on
// several. More threads only pay off on free cores: on a board that the
// point-of-sale program keeps busy, each hand-over between threads at every
// layer waits for a time slice, and several threads are slower than one while
// costing several times its processor time. So the session times both, keeps
// several only when they win clearly, and keeps checking as the load changes.
#include <string>
#include <vector>

struct FORWARD_TIME {
    double wall_ms = 0;
    double cpu_ms = 0;  // of every thread the forward ran on
};

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

    // Between 1 and `most` threads (most > 1).
    explicit ThreadChoice(int most);

    // The thread count for the next forward: alternately both until the
    // first choice, then the choice, and now and then the other count.
    int next() const;
    // What the forward on `threads` threads cost.
    void record(int threads, FORWARD_TIME time);

    bool decided() const { return decided_; }
    int chosen() const { return many_ ? most_ : 1; }
    // The figures behind the choice, e.g. "1 thread: 24.1 ms wall, 8.9 ms
    // processor; 2 threads: 30.2 ms wall, 17.0 ms processor".
    std::string reason() const;

private:
    struct Window {
        std::vector<FORWARD_TIME> last;  // the newest kStartForwards
        FORWARD_TIME median() const;
    };
    bool many_wins() const;

    int most_;
    Window one_, many_window_;
    bool decided_ = false;
    bool many_ = false;
    int since_probe_ = 0;
    int probe_gap_ = kFirstProbeGap;
};
