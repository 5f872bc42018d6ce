// The choice between one thread and several, driven by made-up forward times.
#include "engine/thread_choice.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Runs forwards whose cost `cost` gives for a thread count and returns the
// counts they ran on.
std::vector<int> drive(ThreadChoice& choice, int forwards, const std::function<FORWARD_TIME(int)>& cost) {
    std::vector<int> ran;
    for (int i = 0; i < forwards; ++i) {
        const int threads = choice.next();
        ran.push_back(threads);
        choice.record(threads, cost(threads));
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
        ThreadChoice choice(2);
        const std::vector<int> ran =
            drive(choice, 2 * ThreadChoice::kStartForwards, [&](int t) { return t == 1 ? one_thread(t) : c.many; });
        EXPECT_EQ(ran, c.ran);
        ASSERT_TRUE(choice.decided());
        EXPECT_EQ(choice.chosen(), c.chosen);
        EXPECT_EQ(choice.next(), c.chosen);
    }
}

TEST(ThreadChoiceTest, ChoiceFollowsTheLoadAndProbesLessWhileItStands) {
    ThreadChoice choice(2);
    drive(choice, 2 * ThreadChoice::kStartForwards, free_cores);
    ASSERT_EQ(choice.chosen(), 2);

    // The board gets busy: the two-thread forwards' own times turn the choice
    // to one thread within a couple of forwards, before any probe.
    std::vector<int> ran = drive(choice, 2, busy_cores);
    EXPECT_EQ(choice.chosen(), 1);
    EXPECT_EQ(ran, std::vector<int>({2, 2}));

    // While it stays busy, two threads are tried after 16, 32, 64 ... forwards.
    ran = drive(choice, 16 + 1 + 32 + 1 + 64 + 1, busy_cores);
    std::vector<size_t> probes;
    for (size_t i = 0; i < ran.size(); ++i)
        if (ran[i] == 2) probes.push_back(i);
    EXPECT_EQ(probes, std::vector<size_t>({16, 16 + 1 + 32, 16 + 1 + 32 + 1 + 64}));
    EXPECT_EQ(choice.chosen(), 1);

    // Free again: the probes (at most the last gap apart) find it.
    ran = drive(choice, ThreadChoice::kLastProbeGap * 3, free_cores);
    EXPECT_EQ(choice.chosen(), 2);
    EXPECT_NE(choice.reason().find("2 threads: 14.0 ms wall, 28.0 ms processor"), std::string::npos) << choice.reason();
}

}  // namespace
