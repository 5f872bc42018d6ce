#include "support/log.h"
#include "support/tools.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

class DailyLog : public TempDirTest {
protected:
    static std::string today_file() { return "tmp/" + today_day_file(); }
};

TEST_F(DailyLog, FirstMessageCreatesTodaysFileInDefaultLayout) {
    log_flush_every_message();
    logger->info("开始 {}", 42);
    ASSERT_TRUE(file_exists(today_file()));
    auto lines = read_lines(today_file());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[daily_logger\] \[info\] 开始 42)")))
        << lines[0];
}

TEST_F(DailyLog, DebugMessagesAreDropped) {
    log_flush_every_message();
    logger->debug("hidden");
    logger->info("shown");
    auto lines = read_lines(today_file());
    ASSERT_EQ(lines.size(), 1u);
}

TEST_F(DailyLog, UnwritableFolderDoesNotStopLogging) {
    write_file("tmp", "a file where the folder should be");
    logger->info("goes nowhere");
    EXPECT_TRUE(log_is_fallback());
    EXPECT_EQ(read_file("tmp"), "a file where the folder should be");
}

TEST_F(DailyLog, PruningKeepsTheSevenNewest) {
    logger->info("today's file counts too");
    for (int day = 1; day <= 8; ++day) write_file("tmp/daily_2026-01-0" + std::to_string(day) + ".txt", "x");
    delete_daily();
    auto names = list_dir("tmp");
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names.front(), "daily_2026-01-03.txt");
    EXPECT_TRUE(file_exists(today_file()));
}

TEST_F(DailyLog, PruningLeavesSevenOrFewerAlone) {
    logger->info("today's file counts too");
    for (int day = 1; day <= 6; ++day) write_file("tmp/daily_2026-01-0" + std::to_string(day) + ".txt", "x");
    delete_daily();
    EXPECT_EQ(list_dir("tmp").size(), 7u);
}

// A recognition's lines go to the file in one write: those a thread logs
// inside a batch reach the file when its outermost batch ends, or with the
// next line another thread writes through, in the order they were logged.
TEST_F(DailyLog, BatchedLinesReachTheFileTogetherAndInOrder) {
    log_flush_every_message();
    logger->info("before");
    EXPECT_EQ(read_lines(today_file()).size(), 1u);
    {
        LogBatch outer;
        logger->info("one");
        {
            LogBatch inner;
            logger->info("two");
        }
        EXPECT_EQ(read_lines(today_file()).size(), 1u) << "held until the outermost batch ends";
        std::thread([] { logger->info("other thread"); }).join();
        EXPECT_EQ(read_lines(today_file()).size(), 4u) << "taken out by a line written through";
        logger->info("three");
    }
    const std::vector<std::string> lines = read_lines(today_file());
    ASSERT_EQ(lines.size(), 5u);
    const char* expected[] = {"before", "one", "two", "other thread", "three"};
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_NE(lines[i].find(std::string("[info] ") + expected[i]), std::string::npos) << lines[i];
}
