// Calls from several host threads at once: Init and Close under running calls,
// one engine shared by concurrent recognitions, learning beside recognition, and
// every exported call mixed for a few seconds.
#include "flows_fixture.h"

#include "qx_ai.h"

#include "../camera/camera_kit.h"
#include "../cloud/mock_cloud.h"
#include "api/context.h"
#include "testkit/child.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<float> parse_feature(const std::string& text) {
    std::vector<float> values;
    const char* p = text.c_str();
    while (*p) {
        char* end = nullptr;
        values.push_back(std::strtof(p, &end));
        if (end == p) break;
        p = *end == ',' ? end + 1 : end;
    }
    return values;
}

bool same_feature(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size() || a.size() != 160) return false;
    double distance = 0;
    for (size_t i = 0; i < a.size(); ++i) distance += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(distance) < 1e-3;
}

// Every value of one text column of the feature database.
std::vector<std::string> column(const std::string& sql) {
    settle_records();
    std::vector<std::string> values;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2("featurexYz.db", &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
            while (sqlite3_step(statement) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(statement, 0);
                values.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
            }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return values;
}

// Runs each job on its own thread and waits for all of them.
void run_together(const std::vector<std::function<void()>>& jobs) {
    std::vector<std::thread> threads;
    for (const auto& job : jobs) threads.emplace_back(job);
    for (auto& thread : threads) thread.join();
}

// Every result code one call gave, counted.
class Answers {
public:
    void add(const std::string& call, int code) {
        std::lock_guard<std::mutex> hold(mutex_);
        ++counts_[call][code];
    }
    // The codes of `call` outside `allowed`, as "call:code" texts.
    std::vector<std::string> unexpected(const std::string& call, const std::set<int>& allowed) const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<std::string> odd;
        auto found = counts_.find(call);
        if (found == counts_.end()) return odd;
        for (const auto& [code, n] : found->second)
            if (!allowed.count(code)) odd.push_back(call + ":" + std::to_string(code));
        return odd;
    }
    int total() const {
        std::lock_guard<std::mutex> hold(mutex_);
        int n = 0;
        for (const auto& [call, codes] : counts_)
            for (const auto& [code, count] : codes) n += count;
        return n;
    }
    std::string summary() const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::string text;
        for (const auto& [call, codes] : counts_) {
            text += call + " {";
            for (const auto& [code, count] : codes) text += " " + std::to_string(code) + ":" + std::to_string(count);
            text += " } ";
        }
        return text;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::map<int, int>> counts_;
};

}  // namespace

class Threads : public FlowTest {
protected:
    // The feature the engine gives for a picture, through a recognition made
    // while nothing else runs.
    std::vector<float> reference_feature(const std::string& picture) {
        std::string session;
        recognise(picture, &session);
        auto texts = column("select feature_value from product_record where session_id = '" + session + "'");
        return texts.size() == 1 ? parse_feature(texts[0]) : std::vector<float>();
    }
    // Stored samples whose feature is none of `pictures`' own.
    int foreign_samples(const std::vector<std::string>& pictures) {
        std::vector<std::vector<float>> references;
        for (const auto& picture : pictures) references.push_back(reference_feature(picture));
        int foreign = 0;
        for (const std::string& text : column("select feature from feature_code")) {
            const std::vector<float> stored = parse_feature(text);
            bool known = false;
            for (const auto& reference : references) known = known || same_feature(stored, reference);
            foreign += !known;
        }
        return foreign;
    }
    // The pictures under `folder` (pic_data's layout), one path per distinct content.
    std::vector<std::string> pictures_in(const std::string& folder) {
        std::vector<std::string> files;
        // A picture being filed is written under a temporary name first; a
        // copy taken meanwhile holds it half written. Filed pictures end in .jpg.
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file() && entry.path().extension() == ".jpg") files.push_back(entry.path().string());
        return distinct(files);
    }
    static std::vector<std::string> distinct(const std::vector<std::string>& files) {
        std::set<std::string> seen;
        std::vector<std::string> kept;
        for (const std::string& file : files)
            if (seen.insert(read_file(file)).second) kept.push_back(file);
        return kept;
    }
};

TEST_F(Threads, CloseAndInitWhileOthersRecognise) {
    stock_pic_data({distinct_kinds()[0], distinct_kinds()[1]}, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    const std::string photo = grocery("val", distinct_kinds()[0], 0);
    std::atomic<bool> stop{false};
    Answers answers;
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 3; ++t)
        jobs.push_back([&] {
            char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
            while (!stop) answers.add("TestDetect", TestDetect(photo.c_str(), codes, session));
        });
    jobs.push_back([&] {
        for (int round = 0; round < 6; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            answers.add(round % 2 ? "qx_ai_qxrelease" : "Close", round % 2 ? qx_ai_qxrelease() : Close());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            answers.add("Init", Init());
        }
        stop = true;
    });
    run_together(jobs);
    EXPECT_EQ(answers.unexpected("TestDetect", {QX_OK, QX_ERR_NOT_READY}), std::vector<std::string>());
    EXPECT_EQ(answers.unexpected("Init", {QX_OK}), std::vector<std::string>());
    EXPECT_EQ(answers.unexpected("Close", {QX_OK}), std::vector<std::string>());
    EXPECT_EQ(recognise(photo).at(0), distinct_kinds()[0].code);
}

TEST_F(Threads, ConcurrentRecognitionsOfOnePhotoAgree) {
    stock_pic_data(distinct_kinds(), 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    const std::string photo = grocery("val", distinct_kinds()[2], 0);
    const std::vector<float> alone = reference_feature(photo);
    const std::vector<std::string> alone_codes = recognise(photo);
    ASSERT_FALSE(alone_codes.empty());

    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> results;  // codes, session
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 4; ++t)
        jobs.push_back([&] {
            for (int n = 0; n < 5; ++n) {
                char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
                EXPECT_EQ(TestDetect(photo.c_str(), codes, session), QX_OK);
                std::lock_guard<std::mutex> hold(mutex);
                results.emplace_back(codes, session);
            }
        });
    run_together(jobs);

    std::string joined;
    for (const auto& code : alone_codes) joined += code + ",";
    int other_codes = 0, other_features = 0;
    for (const auto& [codes, session] : results) {
        other_codes += codes != joined;
        auto texts = column("select feature_value from product_record where session_id = '" + session + "'");
        other_features += texts.size() != 1 || !same_feature(parse_feature(texts[0]), alone);
    }
    EXPECT_EQ(other_codes, 0) << "of " << results.size() << " recognitions";
    EXPECT_EQ(other_features, 0) << "of " << results.size() << " recognitions";
}

TEST_F(Threads, RecognitionDuringFolderLearningLeavesSamplesIntact) {
    stock_pic_data({distinct_kinds()[0], distinct_kinds()[1], distinct_kinds()[2]}, 4);
    const std::string photo = grocery("val", distinct_kinds()[3], 0);
    std::atomic<bool> learning{true};
    int learned = -1;
    Answers answers;
    run_together({[&] {
                      learned = LearnFromPicData();
                      learning = false;
                  },
                  [&] {
                      char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
                      while (learning) {
                          answers.add("TestDetect", TestDetect(photo.c_str(), codes, session));
                          std::this_thread::sleep_for(std::chrono::milliseconds(5));
                      }
                  }});
    ASSERT_EQ(learned, QX_OK);
    EXPECT_EQ(answers.unexpected("TestDetect", {QX_OK}), std::vector<std::string>());
    EXPECT_EQ(scalar("select count(*) from feature_code"), 12);
    EXPECT_EQ(foreign_samples(pictures_in("pic_data")), 0) << "samples that are no picture's feature";
}

// Close does not wait for a folder learning run: the run gives up before its
// next picture, the previous store stays, and the next Init serves it.
TEST_F(Threads, CloseDuringFolderLearningCancelsTheRun) {
    stock_pic_data({distinct_kinds()[0]}, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    const std::string before = read_file("featurexYz.db");
    fs::remove_all("pic_data");
    stock_pic_data(distinct_kinds(), 10);
    std::atomic<int> learned{1};
    std::thread learner([&] { learned = LearnFromPicData(); });
    while (!params->importing && learned == 1) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const bool was_learning = learned == 1;
    EXPECT_EQ(Close(), QX_OK);
    learner.join();
    ASSERT_TRUE(was_learning) << "the run ended before Close came";
    EXPECT_EQ(learned, QX_ERR_NOT_READY);
    EXPECT_TRUE(read_file("featurexYz.db") == before) << "the store was replaced";
    for (const auto& name : list_dir(".")) EXPECT_EQ(name.find(".qxtmp-"), std::string::npos) << name;
    ASSERT_EQ(Init(), QX_OK);
    EXPECT_EQ(index_size(), 2);
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[0], 0)).at(0), distinct_kinds()[0].code);
}

// What each call answers when the library holds no state, and what it must not
// leave behind: the mismatches, "" when there is none.
std::string no_state_mismatches() {
    char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "", path[QX_PATH_SIZE] = "x";
    int x = -1, y = -1, width = -1, height = -1;
    const std::vector<std::tuple<const char*, std::function<int()>, int>> calls = {
        {"TestDetect", [&] { return TestDetect("any.jpg", codes, session); }, QX_ERR_NOT_READY},
        {"AutoDetect", [&] { return AutoDetect(codes, session); }, QX_ERR_NOT_READY},
        {"SetFeedBack", [] { return SetFeedBack("4001", "s", 0, "n"); }, QX_ERR_NOT_READY},
        {"LearnFromPicData", [] { return LearnFromPicData(); }, QX_ERR_NOT_READY},
        {"ExportData", [&] { return ExportData(path); }, QX_ERR_NOT_READY},
        {"ImportData", [] { return ImportData("featurexYz.db"); }, QX_ERR_NOT_READY},
        {"ClearTrainedData", [] { return ClearTrainedData(); }, QX_ERR_NOT_READY},
        {"qx_ai_setnorecommend", [] { return qx_ai_setnorecommend("4001"); }, QX_ERR_NOT_READY},
        {"SaveScaleSetting", [] { return SaveScaleSetting(10, 10, 100, 100); }, QX_ERR_NOT_READY},
        {"InitPos", [] { return InitPos("T01", "P01", "SN1"); }, QX_ERR_NOT_READY},
        {"UnbindPos", [] { return UnbindPos("T01", "SN1"); }, QX_ERR_NOT_READY},
        {"SetCameraId", [] { return SetCameraId(0); }, QX_ERR_CAMERA_OPEN},
        {"GetScaleSetting", [&] { return GetScaleSetting(&x, &y, &width, &height); }, QX_OK},
    };
    std::string mismatches;
    for (const auto& [name, call, expected] : calls) {
        const int code = call();
        if (code != expected) mismatches += std::string(name) + " gave " + std::to_string(code) + "; ";
    }
    if (x + y + width + height != 0) mismatches += "GetScaleSetting gave a rectangle; ";
    if (std::string(path) != "x") mismatches += "ExportData wrote a path; ";
    for (const char* file : {"data-copy", "coordinate.json"})
        if (file_exists(file)) mismatches += std::string(file) + " written; ";
    return mismatches;
}

class NoState : public TempDirTest {};

TEST_F(NoState, BeforeTheFirstInitAsAfterClose) {
    // A process of its own, so that no other test has called Init in it yet:
    // the re-executed binary runs this test alone. Under emulation the binary
    // cannot be executed again directly, but there ctest runs each test in a
    // fresh process anyway, so a fork of it has never seen an Init either.
    GTEST_FLAG_SET(death_test_style, tests_run_emulated() ? "fast" : "threadsafe");
    EXPECT_EXIT(
        {
            const std::string mismatches = no_state_mismatches();
            std::fprintf(stderr, "before the first Init: %s\n", mismatches.c_str());
            std::exit(mismatches.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(Close(), 0);
    std::remove("coordinate.json");
    EXPECT_EQ(no_state_mismatches(), "") << "after Close";
}

// Several threads mixing every kind of call, Init and Close included, for a
// bounded time; then the store must hold only features the engine gives for
// real pictures, and concurrent recognitions of one photo must agree.
class Stress : public Threads {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        cloud.answer("POST", "/T01/newretail/api/dfs/upload", {200, R"({"code":0,"data":{"url":"http://f/p.jpg"}})"});
        cloud.answer("POST", "/T01/newretail/api/search/product/saveImageIdentify", {200, R"({"code":0})"});
        write_file("dev.ini", "[default]\ndev = http://t\ncloudHost = localhost:" + std::to_string(cloud.port()) +
                                  "\nsaveImage = 1\n");
        write_file("tenant.json", R"({"demo":"T01"})");
        ASSERT_EQ(Init(), 0);
        ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    }
    MockCloud cloud;
};

TEST_F(Stress, EveryCallFromSeveralThreadsAtOnce) {
    const std::vector<Kind> kinds = {distinct_kinds()[0], distinct_kinds()[1], distinct_kinds()[2]};
    stock_pic_data(kinds, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    CameraSource source(write_sequence("frames", {tray_frame(kBanana), tray_frame(kApple), tray_frame(kCarrots)}));
    ASSERT_EQ(SetCameraId(0), 0);
    std::vector<std::string> photos;
    for (const Kind& kind : kinds) photos.push_back(grocery("val", kind, 1));

    const auto deadline = Clock::now() + std::chrono::seconds(3);
    auto running = [&] { return Clock::now() < deadline; };
    Answers answers;
    // A refused call is tried again a little later, as a host would.
    auto note = [&](const char* call, int code) {
        answers.add(call, code);
        if (code != QX_OK) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return code;
    };
    auto recognise_and_confirm = [&](int first) {
        char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
        for (int n = first; running(); ++n) {
            const size_t k = static_cast<size_t>(n) % kinds.size();
            if (note("TestDetect", TestDetect(photos[k].c_str(), codes, session)) == QX_OK && n % 2 == 0)
                note("SetFeedBack", SetFeedBack(kinds[k].code.c_str(), session, 0, "name"));
        }
    };
    char export_path[QX_PATH_SIZE];
    run_together({
        [&] { recognise_and_confirm(0); },
        [&] { recognise_and_confirm(1); },
        [&] {
            char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
            while (running()) note("AutoDetect", AutoDetect(codes, session));
        },
        [&] {
            for (int n = 0; running(); ++n) {
                note("ExportData", ExportData(export_path));
                // Withdrawing deletes the product's pictures: keep what may have been learned from them.
                std::error_code ignored;
                fs::create_directories("learned/" + std::to_string(n), ignored);
                fs::copy("pic_data", "learned/" + std::to_string(n), fs::copy_options::recursive, ignored);
                note("qx_ai_setnorecommend", qx_ai_setnorecommend(kinds[n % kinds.size()].code.c_str()));
                note("ImportData", ImportData("data-copy"));
                if (n % 3 == 1) note("LearnFromPicData", LearnFromPicData());
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        },
        [&] {
            while (running()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                note("Close", Close());
                note("Init", Init());
                note("SetCameraId", SetCameraId(0));
            }
        },
    });
    std::printf("%d calls on 5 threads: %s\n", answers.total(), answers.summary().c_str());
    RecordProperty("calls", answers.total());

    const std::vector<std::pair<std::string, std::set<int>>> documented = {
        {"TestDetect", {QX_OK, QX_ERR_NOT_READY, QX_ERR_IMPORTING}},
        {"AutoDetect", {QX_OK, QX_ERR_NOT_READY, QX_ERR_IMPORTING, QX_ERR_NO_PICTURE}},
        {"SetFeedBack", {QX_OK, QX_ERR_NOT_READY, QX_ERR_IMPORTING, QX_ERR_NO_RECOGNITION}},
        {"ExportData", {QX_OK, QX_ERR_NOT_READY}},
        {"ImportData", {QX_OK, QX_ERR_NOT_READY, QX_ERR_DATA_FILE}},
        {"LearnFromPicData", {QX_OK, QX_ERR_NOT_READY}},
        {"qx_ai_setnorecommend", {QX_OK, QX_ERR_NOT_READY}},
        {"Close", {QX_OK}},
        {"Init", {QX_OK}},
        {"SetCameraId", {QX_OK}},
    };
    for (const auto& [call, allowed] : documented)
        EXPECT_EQ(answers.unexpected(call, allowed), std::vector<std::string>());

    // Quiet again: the store holds only real pictures' features.
    ASSERT_EQ(Init(), 0);
    fs::create_directories("learned/last");
    fs::copy("pic_data", "learned/last", fs::copy_options::recursive);
    std::vector<std::string> pictures = photos;
    for (const std::string& file : pictures_in("learned")) pictures.push_back(file);
    EXPECT_EQ(foreign_samples(distinct(pictures)), 0) << "samples that are no picture's feature";

    ASSERT_EQ(LearnFromPicData(), 0);
    const std::vector<std::string> alone = recognise(photos[0]);
    std::string joined;
    for (const auto& code : alone) joined += code + ",";
    std::atomic<int> disagreeing{0};
    std::vector<std::function<void()>> jobs;
    for (int t = 0; t < 4; ++t)
        jobs.push_back([&] {
            for (int n = 0; n < 3; ++n) {
                char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
                disagreeing += TestDetect(photos[0].c_str(), codes, session) != QX_OK || joined != codes;
            }
        });
    run_together(jobs);
    EXPECT_EQ(disagreeing.load(), 0) << "of 12 concurrent recognitions of one photo";
}
