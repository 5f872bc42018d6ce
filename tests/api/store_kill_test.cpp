#include "flows_fixture.h"

#include "qx_ai.h"

#include "testkit/child.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

// A learning run or an import killed at any moment leaves a sound store that
// holds the samples it held before (a finished replacement brings the same ones).
class KilledReplacement : public FlowTest {
protected:
    // Every live sample as code and feature, in one text.
    std::string samples() {
        return text("select group_concat(code || ':' || feature, '|') from (select code, feature from feature_code "
                    "where deleted = 0 order by code, feature)");
    }

    // Starts the worker, lets it work for `after_ms` once it is ready, kills it.
    void run_and_kill(const std::vector<std::string>& args, int after_ms) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const std::vector<std::string> command = child_command(QX_STORE_WORKER, args);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(ready[1], STDOUT_FILENO);
            exec_command(command);
            _exit(127);
        }
        close(ready[1]);
        char line[16] = "";
        ASSERT_GT(read(ready[0], line, sizeof line), 0) << "worker did not start";
        close(ready[0]);
        usleep(static_cast<useconds_t>(after_ms) * 1000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "worker ended by itself: " << WEXITSTATUS(status);
    }

    void expect_store_sound(const std::string& before, int count) {
        ASSERT_EQ(Init(), 0);
        EXPECT_EQ(scalar("select count(*) from pragma_integrity_check where integrity_check = 'ok'"), 1);
        EXPECT_EQ(samples(), before);
        EXPECT_EQ(index_size(), count);
        auto codes = recognise(grocery("val", distinct_kinds()[1], 0));
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes[0], "4002");
    }
};

TEST_F(KilledReplacement, LearningRunKilledKeepsThePreviousStore) {
    stock_pic_data({distinct_kinds()[0], distinct_kinds()[1], distinct_kinds()[2]}, 4);
    ASSERT_EQ(LearnFromPicData(), 0);
    const std::string before = samples();
    Close();
    std::mt19937 random(7);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        run_and_kill({"learn"}, 100 + static_cast<int>(random() % 900));
        expect_store_sound(before, 12);
        Close();
    }
}

TEST_F(KilledReplacement, ImportKilledKeepsThePreviousStore) {
    stock_pic_data({distinct_kinds()[0], distinct_kinds()[1]}, 3);
    ASSERT_EQ(LearnFromPicData(), 0);
    char copy[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(copy), 0);
    // The same samples with many feedback rows, so the import takes a while.
    ASSERT_TRUE(exec_sql(copy, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
                               "INSERT INTO feed_back_record(code, session_id, hit) SELECT '4001', "
                               "printf('%030d', i), 0 FROM n;"));
    const std::string before = samples();
    Close();
    std::mt19937 random(11);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        run_and_kill({"import", copy}, 50 + static_cast<int>(random() % 400));
        expect_store_sound(before, 6);
        Close();
    }
}
