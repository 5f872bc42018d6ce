// The choice between one thread and several, driven by made-up forward times
// and made-up readings of the machine's other runnable threads.
#include "engine/thread_choice.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Runs forwards whose cost `cost` gives for a thread count, with `elsewhere`
// other threads ready to run, and returns the counts they ran on.
std::vector<int> drive(ThreadChoice& choice, int forwards, const std::function<FORWARD_TIME(int)>& cost,
                       int elsewhere = 0) {
    std::vector<int> ran;
    for (int i = 0; i < forwards; ++i) {
        const int threads = choice.next(elsewhere);
        ran.push_back(threads);
        choice.record(cost(threads));
    }
    return ran;
}

// One thread: 24 ms wall and processor.
FORWARD_TIME one_thread(int) { return {24, 24}; }
FORWARD_TIME free_cores(int threads) { return threads == 1 ? one_thread(1) : FORWARD_TIME{14, 28}; }
FORWARD_TIME busy_cores(int threads) { return threads == 1 ? FORWARD_TIME{30, 24} : FORWARD_TIME{120, 90}; }

TEST(ThreadChoiceTest, FirstChoiceKeepsSeveralThreadsOnlyWhenTheyWinClearly) {
    const struct {
        const char* load;
        FORWARD_TIME many;  // the two-thread forward against one_thread's
        int chosen;
        std::vector<int> ran;
    } cases[] = {
        {"free cores", {14, 28}, 2, {1, 2, 1, 2, 1, 2}},
        {"a small gain in wall time", {20, 28}, 1, {1, 2, 1, 2, 1, 2}},
        {"too much processor time", {12, 32}, 1, {1, 2, 1, 2, 1, 2}},
        {"a little slower", {40, 40}, 1, {1, 2, 1, 2, 1, 2}},
        // Decided after the first pair: no more forwards spent on two threads.
        {"busy cores", {120, 90}, 1, {1, 2, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.load);
        ThreadChoice choice(2, 2);
        EXPECT_FALSE(choice.take_change());
        const std::vector<int> ran =
            drive(choice, 2 * ThreadChoice::kStartForwards, [&](int t) { return t == 1 ? one_thread(t) : c.many; });
        EXPECT_EQ(ran, c.ran);
        ASSERT_TRUE(choice.decided());
        EXPECT_EQ(choice.chosen(), c.chosen);
        EXPECT_TRUE(choice.take_change());
        EXPECT_FALSE(choice.take_change()) << "a choice is told once";
        EXPECT_EQ(choice.next(0), c.chosen);
    }
}

// Several threads are not even tried while another thread of the machine
// waits for a core: on a busy board each such forward costs many times one
// thread's. Both the latest reading and the median of the last three must show
// the cores free: one free moment among busy ones is no free core.
TEST(ThreadChoiceTest, SeveralThreadsOnlyOnCoresNothingElseWantsToRunOn) {
    const struct {
        const char* machine;
        int most, cores;
        std::vector<int> elsewhere;  // one reading per forward
        std::vector<int> ran;
    } cases[] = {
        {"2 cores, one other thread", 2, 2, {1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}},
        {"2 cores, a moment's other thread", 2, 2, {0, 1, 0, 0, 0, 0}, {1, 1, 2, 1, 2, 1}},
        // The reading before the host got busy does not make its cores free.
        {"2 cores, free, then two others", 2, 2, {0, 2, 2, 2}, {1, 1, 1, 1}},
        // Before the first choice one thread's figures count only from free cores on.
        {"2 cores, busy, then free", 2, 2, {2, 2, 2, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 2, 1}},
        {"4 cores, two others, 2 threads", 2, 4, {2, 2, 2, 2}, {1, 2, 1, 2}},
        {"4 cores, one other, 4 threads", 4, 4, {1, 1, 1, 1}, {1, 1, 1, 1}},
        {"unknown load", 2, 2, {-1, -1, -1, -1}, {1, 2, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.machine);
        ThreadChoice choice(c.most, c.cores);
        std::vector<int> ran;
        for (int elsewhere : c.elsewhere) {
            ran.push_back(choice.next(elsewhere));
            choice.record(free_cores(ran.back()));
        }
        EXPECT_EQ(ran, std::vector<int>(c.ran.begin(), c.ran.end()));
        EXPECT_FALSE(choice.decided() && ran == std::vector<int>(ran.size(), 1)) << "decided without measuring";
    }
}

TEST(ThreadChoiceTest, ChoiceFollowsTheLoadAndProbesLessWhileItStands) {
    ThreadChoice choice(2, 2);
    drive(choice, 2 * ThreadChoice::kStartForwards, free_cores);
    ASSERT_EQ(choice.chosen(), 2);
    choice.take_change();

    // Another thread wants a core: one thread from its first reading on, the
    // choice unchanged; back to two once the median of three is free too.
    EXPECT_EQ(drive(choice, 3, free_cores, 1), std::vector<int>({1, 1, 1}));
    EXPECT_EQ(choice.chosen(), 2);
    EXPECT_FALSE(choice.take_change());
    EXPECT_EQ(drive(choice, 3, free_cores), std::vector<int>({1, 2, 2})) << "the median of three readings";

    // A load the count of runnable threads does not show: the two-thread
    // forwards' own times turn the choice to one thread within a couple of
    // forwards, before any probe.
    std::vector<int> ran = drive(choice, 2, busy_cores);
    EXPECT_EQ(choice.chosen(), 1);
    EXPECT_TRUE(choice.take_change());
    EXPECT_EQ(ran, std::vector<int>({2, 2}));

    // While it stays so, two threads are tried after 16, 32, 64 ... forwards.
    ran = drive(choice, 16 + 1 + 32 + 1 + 64 + 1, busy_cores);
    std::vector<size_t> probes;
    for (size_t i = 0; i < ran.size(); ++i)
        if (ran[i] == 2) probes.push_back(i);
    EXPECT_EQ(probes, std::vector<size_t>({16, 16 + 1 + 32, 16 + 1 + 32 + 1 + 64}));
    EXPECT_EQ(choice.chosen(), 1);

    // A probe that falls due while other threads want the cores waits for them.
    ran = drive(choice, 200, busy_cores, 1);
    EXPECT_EQ(ran, std::vector<int>(200, 1));
    EXPECT_EQ(drive(choice, 3, busy_cores), std::vector<int>({1, 2, 1}));

    // Free again: the probes (at most the last gap apart) find it.
    ran = drive(choice, ThreadChoice::kLastProbeGap * 3, free_cores);
    EXPECT_EQ(choice.chosen(), 2);
    EXPECT_NE(choice.reason().find("2 threads: 14.0 ms wall, 28.0 ms processor"), std::string::npos) << choice.reason();
}

TEST(ThreadChoiceTest, ReasonSaysWhatWasNotMeasured) {
    ThreadChoice choice(4, 4);
    EXPECT_EQ(choice.reason(), "1 thread: not measured; 4 threads: not measured");
    choice.next(0);
    choice.record({9.5, 9.25});
    EXPECT_EQ(choice.reason(), "1 thread: 9.5 ms wall, 9.2 ms processor; 4 threads: not measured");
    EXPECT_GE(threads_ready_elsewhere(), -1);
}

}  // namespace
