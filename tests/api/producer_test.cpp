// Stores whose features another engine made: never matched as they are, but
// made again from their pictures at Init and on import, with what has no
// picture kept aside; stores from before the record are today's engine's.
#include "flows_fixture.h"

#include "qx_ai.h"
#include "qx_tool.h"

#include "api/context.h"
#include "api/gate.h"
#include "engine/feature_producer.h"
#include "support/log.h"
#include "testkit/child.h"
#include "testkit/files.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr const char* kProducer = "select model || '/' || precision from feature_producer";
constexpr const char* kOtherModel = "update feature_producer set model = printf('%064d', 7);";
constexpr const char* kLive = "select count(*) from feature_code where deleted = 0";

std::vector<std::string> aside_copies() {
    std::vector<std::string> found;
    for (const std::string& name : list_dir("."))
        if (name.rfind("data-aside-", 0) == 0) found.push_back(name);
    return found;
}

std::string status_text() {
    std::string text(1 << 16, '\0');
    text.resize(static_cast<size_t>(std::max(0, qx_tool_status(&text[0], static_cast<int>(text.size())))));
    return text;
}

std::string logged() {
    logger->flush();
    return read_file("tmp/" + today_day_file());
}

}  // namespace

class StoreProducer : public FlowTest {
protected:
    // Five kinds, three pictures each, learned from pic_data; then two samples
    // without a picture (an older fourth one of 4001, one of 4999, which has
    // no folder) and every feature made useless, so that only features made
    // again can recognise anything. Kept as `prepared`, the library closed.
    void SetUp() override {
        FlowTest::SetUp();
        kinds.assign(distinct_kinds().begin(), distinct_kinds().begin() + 5);
        stock_pic_data(kinds, 3);
        ASSERT_EQ(LearnFromPicData(), 0);
        engine = text(kProducer);
        ASSERT_EQ(engine.size(), 64u + 5u) << engine;
        ASSERT_TRUE(exec_sql("featurexYz.db",
                             "insert into feature_code(code, feature, update_time, deleted) select '4001', feature, "
                             "'2000-01-01 00:00:00', 0 from feature_code limit 1; "
                             "insert into feature_code(code, feature, update_time, deleted) select '4999', feature, "
                             "CURRENT_TIMESTAMP, 0 from feature_code limit 1; "
                             "update feature_code set feature = (select feature from feature_code where code = '4004' "
                             "limit 1);"));
        ASSERT_EQ(Close(), 0);
        prepared = read_file("featurexYz.db");
    }

    // The prepared store, changed by `sql`, in place of the live one.
    void put_store(const std::string& sql) {
        write_file("featurexYz.db", prepared);
        ASSERT_TRUE(exec_sql("featurexYz.db", sql)) << sql;
    }

    void start() {
        ASSERT_EQ(Init(), 0);
    }

    // Waits for a recompute started by Init to end.
    bool served() {
        for (int i = 0; i < 6000 && params->importing; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !params->importing;
    }

    // What the engine makes of every picture of pic_data, as the records of
    // recognitions hold them, sorted.
    std::vector<std::string> features_of_pictures() {
        std::vector<std::string> features;
        for (const auto& entry : fs::recursive_directory_iterator("pic_data")) {
            if (!entry.is_regular_file()) continue;
            std::string session;
            recognise(entry.path().string(), &session);
            features.push_back(text("select feature_value from product_record where session_id = '" + session + "'"));
        }
        std::sort(features.begin(), features.end());
        return features;
    }

    std::vector<std::string> live_features() {
        std::vector<std::string> features;
        for (long long id = 1, rows = scalar("select max(id) from feature_code"); id <= rows; ++id)
            if (scalar("select count(*) from feature_code where deleted = 0 and id = " + std::to_string(id)) == 1)
                features.push_back(text("select feature from feature_code where id = " + std::to_string(id)));
        std::sort(features.begin(), features.end());
        return features;
    }

    // The store as the engine would have made it from pic_data, the two
    // samples without a picture kept aside with everything else as it was.
    void expect_recomputed(const std::string& what) {
        EXPECT_EQ(text(kProducer), engine) << what;
        EXPECT_EQ(scalar(kLive), 15) << what;
        EXPECT_EQ(scalar("select count(*) from feature_code where deleted = 1 and (code = '4999' or update_time like "
                         "'2000-%')"),
                  2)
            << what;
        EXPECT_EQ(scalar("select count(*) from record_count where id > 1"), 2) << "withdrawn slots wait for reuse";
        EXPECT_EQ(live_features(), features_of_pictures()) << what;
        EXPECT_EQ(index_size(), 15) << what;
        EXPECT_EQ(recognise(grocery("val", kinds[3], 0)).at(0), kinds[3].code) << what;
        const std::vector<std::string> aside = aside_copies();
        ASSERT_EQ(aside.size(), 1u) << what;
        EXPECT_EQ(scalar(kLive, aside[0]), 17) << what << ": the aside copy is the store as it was";
        EXPECT_EQ(scalar("select count(distinct feature) from feature_code", aside[0]), 1) << what;
        EXPECT_EQ(scalar("select count(*) = 1 and max(model || '/' || precision) = '" + engine +
                             "' from feature_producer",
                         aside[0]),
                  0)
            << what << ": the aside copy names the producer it was made by";
        EXPECT_NE(logged().find("15 samples made again from their pictures, 2 without a picture kept aside in " +
                                aside[0]),
                  std::string::npos)
            << what;
        const std::string status = status_text();
        for (const char* part : {"\"recomputed\":15", "\"kept_aside\":2", "\"in_progress\":false", "\"recorded\":true"})
            EXPECT_NE(status.find(part), std::string::npos) << what << ": " << part << " in " << status;
        fs::remove(aside[0]);
    }

    std::vector<Kind> kinds;
    std::string engine;
    std::string prepared;
};

TEST_F(StoreProducer, StoreOfAnotherOrUnknownProducerIsMadeAgainAtInit) {
    struct Case {
        const char* what;
        const char* sql;
    } const cases[] = {
        {"made by another model", kOtherModel},
        {"made by an unknown precision", "update feature_producer set precision = 'fp16';"},
        {"two records", "insert into feature_producer(id, model, precision) select 2, model, 'int8' from "
                        "feature_producer;"},
        {"a record naming no model", "update feature_producer set model = x'00ff';"},
    };
    for (const Case& c : cases) {
        put_store(c.sql);
        start();
        ASSERT_TRUE(served()) << c.what;
        expect_recomputed(c.what);
        ASSERT_EQ(Close(), 0);
    }
}

// A store from before stores named their producer is today's float32 model's:
// served as it is, by either precision, and recorded as made in float32.
TEST_F(StoreProducer, StoreFromBeforeTheRecordIsServedAsItIs) {
    put_store("drop table feature_producer;");
    start();
    EXPECT_FALSE(params->importing);
    EXPECT_EQ(text(kProducer), engine.substr(0, 64) + "/fp32");
    EXPECT_EQ(scalar(kLive), 17);
    EXPECT_EQ(index_size(), 17);
    EXPECT_EQ(scalar("select count(distinct feature) from feature_code"), 1) << "nothing was made again";
    EXPECT_TRUE(aside_copies().empty());
    EXPECT_NE(logged().find("the store predates producer records: made by " + engine.substr(0, 12) + "/fp32"),
              std::string::npos);
}

// While the store is made again nothing of it is offered, every change of the
// store is refused, and Close stops the work at once, the store kept as it was;
// the next Init starts over.
TEST_F(StoreProducer, RecomputeRefusesChangesAndCloseStopsIt) {
    put_store(kOtherModel);
    start();
    {
        // The recompute needs 15 pictures, the engine one at a time.
        std::unique_lock<std::mutex> engine_held(g_engine_mutex);
        ASSERT_TRUE(params->importing);
        EXPECT_EQ(index_size(), 0) << "nothing of the store is offered meanwhile";
        char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE], path[QX_PATH_SIZE];
        EXPECT_EQ(AutoDetect(codes, session), QX_ERR_IMPORTING);
        EXPECT_EQ(SetFeedBack("4001", "s", 1, "x"), QX_ERR_IMPORTING);
        EXPECT_EQ(LearnFromPicData(), QX_ERR_IMPORTING);
        EXPECT_EQ(ClearTrainedData(), QX_ERR_IMPORTING);
        EXPECT_EQ(qx_ai_setnorecommend("4001"), QX_ERR_IMPORTING);
        ASSERT_EQ(ExportData(path), QX_OK);
        EXPECT_EQ(scalar("select model = printf('%064d', 7) from feature_producer", path), 1) << "the store as it is";
        // Once its aside copy is there, the recompute holds the state lock and
        // waits for the engine: Close must stop it, not merely keep it out.
        while (aside_copies().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::atomic<bool> closed{false};
        std::thread closing([&] {
            Close();
            closed = true;
        });
        while (!qx_lifecycle_waiting() && !closed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        engine_held.unlock();
        closing.join();
    }
    EXPECT_EQ(scalar("select model = printf('%064d', 7) from feature_producer"), 1);
    EXPECT_EQ(scalar("select count(distinct feature) from feature_code"), 1);
    EXPECT_TRUE(aside_copies().empty());
    for (const std::string& name : list_dir(".")) EXPECT_NE(name.rfind(".qxtmp-", 0), 0u) << name;
    EXPECT_NE(logged().find("store recompute cancelled by Init or Close"), std::string::npos);

    start();
    ASSERT_TRUE(served());
    expect_recomputed("after a cancelled recompute");
}

// ImportData applies the same rule to the file it takes: a store of another
// producer is made again from pic_data before it is put in place; a store from
// before the record is taken as it is.
TEST_F(StoreProducer, ImportOfAnotherProducersStoreIsMadeAgain) {
    put_store(kOtherModel);
    fs::rename("featurexYz.db", "other.db");
    write_file("legacy.db", prepared);
    ASSERT_TRUE(exec_sql("legacy.db", "drop table feature_producer;"));
    start();
    ASSERT_EQ(ImportData("other.db"), QX_OK);
    EXPECT_FALSE(params->importing);
    expect_recomputed("imported");

    ASSERT_EQ(ImportData("legacy.db"), QX_OK);
    EXPECT_EQ(text(kProducer), engine.substr(0, 64) + "/fp32");
    EXPECT_EQ(scalar(kLive), 17);
    EXPECT_EQ(scalar("select count(distinct feature) from feature_code"), 1) << "nothing was made again";
    EXPECT_TRUE(aside_copies().empty());
}

// A store learned by one precision of the model is served by the other as it
// is, with one log line: the two were measured to recognise alike. Real
// engines on both sides, as on two scales whose builds default differently.
class StoreOfTheOtherPrecision : public FlowTest {
protected:
    void start_on(const char* engine) {
        ASSERT_EQ(Close(), 0);
        setenv("QX_ENGINE", engine, 1);
        const int started = Init();
        unsetenv("QX_ENGINE");
        ASSERT_EQ(started, 0) << engine;
    }
};

TEST_F(StoreOfTheOtherPrecision, IsServedAsItIsWithOneLogLine) {
    const std::vector<Kind> kinds(distinct_kinds().begin(), distinct_kinds().begin() + 4);
    stock_pic_data(kinds, 2);
    const std::string model = std::string(CLSRETRI_embedded_model_id()).substr(0, 12);
    for (const auto& [learned_on, served_by] : {std::pair{"fp32", "int8"}, std::pair{"int8", "fp32"}}) {
        SCOPED_TRACE(std::string("learned on ") + learned_on + ", served by " + served_by);
        ASSERT_EQ(Close(), 0);
        fs::remove("featurexYz.db");
        start_on(learned_on);
        ASSERT_EQ(LearnFromPicData(), 0);
        const std::string recorded = text(kProducer);
        ASSERT_EQ(recorded.substr(64), std::string("/") + learned_on);
        std::vector<std::string> firsts;
        for (const Kind& kind : kinds) firsts.push_back(recognise(grocery("val", kind, 0)).at(0));
        const long long samples = scalar(kLive);
        const std::string features = text("select group_concat(feature, ';') from feature_code where deleted = 0");

        start_on(served_by);
        EXPECT_FALSE(params->importing) << "nothing is made again";
        EXPECT_EQ(text(kProducer), recorded);
        EXPECT_EQ(text("select group_concat(feature, ';') from feature_code where deleted = 0"), features);
        EXPECT_EQ(index_size(), samples);
        EXPECT_TRUE(aside_copies().empty());
        int same = 0;
        for (size_t k = 0; k < kinds.size(); ++k) same += recognise(grocery("val", kinds[k], 0)).at(0) == firsts[k];
        EXPECT_GE(same, 3) << "the same first code for " << same << " of 4 kinds";
        const std::string line = "the store made by " + model + "/" + learned_on + " is served by " + model + "/" +
                                 served_by + ": the two precisions are measured to recognise alike";
        const std::string log = logged();
        EXPECT_NE(log.find(line), std::string::npos) << log;
        EXPECT_EQ(log.find(line), log.rfind(line)) << "one line";
    }
}

// A host that exits without Close while a store is made again: the thread is
// stopped and waited for before the process takes down what it uses, and the
// process ends normally. A process of its own, in which Init is the first call
// of the library.
class StoreRecomputeAtExit : public TempDirTest {};

TEST_F(StoreRecomputeAtExit, HostExitingWithoutCloseEndsNormally) {
    GTEST_FLAG_SET(death_test_style, tests_run_emulated() ? "fast" : "threadsafe");
    EXPECT_EXIT(
        {
            fs::create_directories("pic_data/4001");
            fs::copy_file(grocery("train", distinct_kinds()[0], 0), "pic_data/4001/0.jpg");
            sqlite3* db = nullptr;
            sqlite3_open("featurexYz.db", &db);
            const int made = sqlite3_exec(
                db,
                "CREATE TABLE feature_code (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, feature text "
                "NOT NULL, update_time TIMESTAMP DEFAULT NULL, deleted INTEGER DEFAULT 0); "
                "insert into feature_code(code, feature, update_time, deleted) values ('4001', '0.5,0.5,', "
                "CURRENT_TIMESTAMP, 0), ('4002', '0.5,0.5,', CURRENT_TIMESTAMP, 0); "
                "CREATE TABLE feature_producer (id integer PRIMARY KEY, model text NOT NULL, precision text NOT NULL); "
                "insert into feature_producer values (1, 'another model', 'fp32');",
                nullptr, nullptr, nullptr);
            sqlite3_close(db);
            const bool started = made == SQLITE_OK && Init() == QX_OK && params->importing;
            std::exit(started ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}
