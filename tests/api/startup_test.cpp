#include "qx_ai.h"

#include "api/context.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"
#include "store/matching.h"
#include "support/log.h"
#include "support/timing.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>

class Startup : public TempDirTest {
protected:
    static std::string day_log() {
        logger->flush();
        return read_file("tmp/" + today_day_file());
    }
    void TearDown() override {
        Close();
        TempDirTest::TearDown();
    }
};

TEST_F(Startup, NoFilesGiveTheDefaults) {
    EXPECT_EQ(Init(), 0);
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->filter_score, 0.0f);
    EXPECT_FALSE(params->cam.save_image);
    EXPECT_FALSE(drive_ai);
    EXPECT_EQ(params->dev, "");
    EXPECT_EQ(params->tenant_code, "");
    EXPECT_EQ(params->pos_id, "");
    EXPECT_EQ(params->ini_path, dir() + "/dev.ini");
    EXPECT_TRUE(params->cloud_online);
    EXPECT_FALSE(params->importing);
    EXPECT_EQ(params->search_k, SEARCH_K_DEFAULT);
}

TEST_F(Startup, DevIniKeysInAnyCaseWithCrLf) {
    write_file("dev.ini", "[DEFAULT]\r\nDEV = http://t\r\nFilterScore = 0.65\r\nsaveimage = 1\r\nDrive_AI = 1\r\n");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(params->dev, "http://t");
    EXPECT_FLOAT_EQ(params->filter_score, 0.65f);
    EXPECT_TRUE(params->cam.save_image);
    EXPECT_TRUE(drive_ai);
}

TEST_F(Startup, GarbageAndByteOrderMarkAreHarmless) {
    write_file("dev.ini", "\xEF\xBB\xBF[default]\ndev = lost\n\x01\x02 garbage\n[default]\nfilterScore = abc\n");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(params->dev, "");  // the mark hides the first header
    EXPECT_EQ(params->filter_score, 0.0f);
    write_file("dev.ini", "");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(params->dev, "");
}

// searchK 5 once gave 100, the widest search, instead of the nearest end of
// its range; a number is now held to the range and only text gives the default.
TEST_F(Startup, SearchKOutsideItsRangeIsHeldToItAndLogged) {
    const struct {
        const char* text;
        int search_k;
        bool logged;
    } cases[] = {{"60", 60, false}, {"6", 6, false}, {"5", 6, true}, {"-7", 6, true},
                 {"-99999999999999999999", 6, true}, {"101", 100, true}, {"99999999999999999999", 100, true},
                 {"x", SEARCH_K_DEFAULT, true}, {"12abc", SEARCH_K_DEFAULT, true}, {"", SEARCH_K_DEFAULT, false}};
    for (const auto& c : cases) {
        write_file("dev.ini", std::string("[default]\nsearchK = ") + c.text + "\n");
        const size_t before = day_log().size();
        Init();
        EXPECT_EQ(params->search_k, c.search_k) << c.text;
        const std::string line = std::string("searchK ") + c.text + " out of range 6..100, using " +
                                 std::to_string(c.search_k);
        EXPECT_EQ(day_log().find(line, before) != std::string::npos, c.logged) << c.text;
    }
}

// The switches read as strtol reads them: whatever follows a leading number
// other than 0 still means on. The strict number reader once turned
// "1 ; on" off, and with it the cropped pictures that feedback uploads.
TEST_F(Startup, SwitchesAreOnForAnyLeadingNumberButZero) {
    const struct {
        const char* text;
        bool on;
    } cases[] = {{"1", true}, {"1 ; on", true}, {"1.0", true}, {"2x", true}, {"4294967296", true},
                 {"-1", true}, {"+3", true}, {"0", false}, {"0.9", false}, {"00", false}, {"-0", false},
                 {"on", false}, {"", false}, {"x1", false}};
    for (const auto& c : cases) {
        write_file("dev.ini", std::string("[default]\nsaveImage = ") + c.text + "\ndrive_ai = " + c.text + "\n");
        Init();
        EXPECT_EQ(params->cam.save_image, c.on) << c.text;
        EXPECT_EQ(drive_ai, c.on) << c.text;
    }
}

TEST_F(Startup, BindingFilesAreReadWhenWellFormed) {
    write_file("tenant.json", R"({"demo":"T100"})");
    write_file("posId.json", R"({"posId":"P7","other":1})");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(params->tenant_code, "T100");
    EXPECT_EQ(params->pos_id, "P7");
}

TEST_F(Startup, MalformedBindingFilesLeaveFieldsEmpty) {
    const char* bad[] = {"not json", "[\"demo\"]", R"({"demo":5})", R"({"other":"x"})", "", R"({"demo":"T1")"};
    for (const char* content : bad) {
        write_file("tenant.json", content);
        write_file("posId.json", content);
        EXPECT_EQ(Init(), 0);
        EXPECT_EQ(params->tenant_code, "") << content;
        EXPECT_EQ(params->pos_id, "") << content;
    }
}

TEST_F(Startup, InitEmptiesThePhotoFolderOfThePreviousRun) {
    write_file("QXPhoto/old.jpg", "x");
    write_file("QXPhoto/sub/older.jpg", "x");
    EXPECT_EQ(Init(), 0);
    EXPECT_TRUE(file_exists("QXPhoto"));
    EXPECT_TRUE(list_dir("QXPhoto").empty());
}

TEST_F(Startup, LogFileAppearsAndUnwritableTmpIsHarmless) {
    EXPECT_EQ(Init(), 0);
    EXPECT_FALSE(list_dir("tmp").empty());
    Close();
    std::remove(("tmp/" + list_dir("tmp")[0]).c_str());
    ASSERT_EQ(rmdir("tmp"), 0);
    write_file("tmp", "a file, not a folder");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(Close(), 0);
}

TEST_F(Startup, CloseTwiceAndInitAgain) {
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(params, nullptr);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(qx_ai_qxrelease(), 0);
    EXPECT_EQ(Init(), 0);
    EXPECT_NE(params, nullptr);
    EXPECT_EQ(qx_ai_qxrelease(), 0);
    EXPECT_EQ(params, nullptr);
}

TEST_F(Startup, SecondInitWithoutCloseRereadsSettings) {
    EXPECT_EQ(Init(), 0);
    DB_HADNLE* first = params;
    write_file("dev.ini", "[default]\ndev = second\n");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(params, first);  // re-initialised in place
    EXPECT_EQ(params->dev, "second");
}

// dev.ini's engineThreads forces the engine's thread count, the environment's
// QX_ENGINE_THREADS overrides it, and without either (or with a value out of
// range) the engine chooses from its own forwards.
TEST_F(Startup, EngineThreadsFromDevIniUnlessTheEnvironmentForcesThem) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: always one thread";
    const std::string saved = std::getenv("QX_ENGINE_THREADS") ? std::getenv("QX_ENGINE_THREADS") : "";
    const struct {
        const char* ini;
        const char* env;  // null: unset
        const char* runs;
    } cases[] = {
        {"engineThreads = 2", nullptr, ", 2 threads, "},
        {"EngineThreads = 1", nullptr, ", 1 thread, "},
        {"engineThreads = 2", "1", ", 1 thread, "},
        {"engineThreads = 0", nullptr, "choosing between 1 and 2 threads"},
        {"engineThreads = 65", nullptr, "choosing between 1 and 2 threads"},
        {"engineThreads = two", nullptr, "choosing between 1 and 2 threads"},
        {"", nullptr, "choosing between 1 and 2 threads"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ini) + (c.env ? std::string(", QX_ENGINE_THREADS=") + c.env : ""));
        if (c.env)
            setenv("QX_ENGINE_THREADS", c.env, 1);
        else
            unsetenv("QX_ENGINE_THREADS");
        write_file("dev.ini", std::string("[default]\n") + c.ini + "\n");
        ASSERT_EQ(Init(), 0);
        const auto* engine = static_cast<CLSRETRI_HANDLE*>(handle);
        ASSERT_NE(engine, nullptr);
        const std::string runs = engine->interpreter->describeSession(engine->session);
        EXPECT_NE(runs.find(c.runs), std::string::npos) << runs;
        EXPECT_EQ(runs.find("choosing") != std::string::npos, std::string(c.runs).find("choosing") == 0) << runs;
    }
    if (saved.empty())
        unsetenv("QX_ENGINE_THREADS");
    else
        setenv("QX_ENGINE_THREADS", saved.c_str(), 1);
    EXPECT_NE(read_file("tmp/" + today_day_file()).find("engineThreads two out of range 0..64"), std::string::npos);
}

// On two threads a recognition leaves nothing running once it has returned:
// the engine's pool worker once spun on, awake, for 25 ms after every forward,
// a core taken from the host's own threads.
TEST_F(Startup, NothingSpinsOnAfterARecognitionOnTwoThreads) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: no pool";
    const std::string saved = std::getenv("QX_ENGINE_THREADS") ? std::getenv("QX_ENGINE_THREADS") : "";
    setenv("QX_ENGINE_THREADS", "2", 1);
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    const std::string photo = grocery_photo("val/Fruit/Kiwi", 0);
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    for (int call = 0; call < 3; ++call) {
        ASSERT_EQ(TestDetect(photo.c_str(), codes, session), 0);
        const double returned = process_cpu_ms();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        // The record's write on the library's own thread is all that may run.
        EXPECT_LT(process_cpu_ms() - returned, 10.0) << "call " << call;
    }
    if (saved.empty())
        unsetenv("QX_ENGINE_THREADS");
    else
        setenv("QX_ENGINE_THREADS", saved.c_str(), 1);
}
