// What Init does to the files of a careless or hostile host: a long working
// directory, a crowded tmp/, settings files that are folders, FIFOs, huge or
// deeply nested.
#include "qx_ai.h"

#include "api/context.h"
#include "support/log.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>

namespace {

int log_count(const std::string& text) {
    int count = 0;
    for (const std::string& name : list_dir("tmp")) {
        const std::string log = read_file("tmp/" + name);
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    }
    return count;
}

}  // namespace

class StartupFiles : public TempDirTest {
protected:
    void TearDown() override {
        Close();
        TempDirTest::TearDown();
    }
    // Settings Init must still read whatever happens to dev.ini.
    void write_other_settings() {
        write_file("coordinate.json", R"({"x":150,"y":70,"width":340,"height":340,"cameraNum":3})");
        write_file("tenant.json", R"({"demo":"T01"})");
        write_file("posId.json", R"({"posId":"7"})");
    }
    void expect_other_settings_read() {
        const _CAMHP_CAP_& cam = params->cam;
        EXPECT_EQ(cv::format("%d,%d,%d,%d,%d", cam.x, cam.y, cam.width, cam.height, cam.camera_num),
                  "150,70,340,340,3");
        EXPECT_EQ(params->tenant_code + "/" + params->pos_id, "T01/7");
        EXPECT_TRUE(file_exists("featurexYz.db"));
        EXPECT_EQ(params->dev, "");
        EXPECT_EQ(params->filter_score, 0.0f);
    }
};

// A working directory of 260 bytes or more once read as "/": the database,
// coordinate.json and the binding files went to the root, and the log pruning
// deleted files of the system's /tmp.
TEST_F(StartupFiles, LongWorkingDirectoryKeepsEveryFileInside) {
    std::string deep = dir();
    while (deep.size() < 320) {
        deep += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    write_file(deep + "/dev.ini", "[default]\nfilterScore = 0.5\n");
    write_file(deep + "/tenant.json", R"({"demo":"T01"})");
    ASSERT_EQ(chdir(deep.c_str()), 0);
    log_reopen();  // the test's log goes into the deep folder too
    const bool root_had_database = file_exists("/featurexYz.db");

    EXPECT_EQ(Init(), 0);
    EXPECT_FLOAT_EQ(params->filter_score, 0.5f);
    EXPECT_EQ(params->tenant_code, "T01");
    EXPECT_EQ(params->db_path, deep + "/featurexYz.db");
    EXPECT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    EXPECT_EQ(list_dir("."),
              (std::vector<std::string>{"coordinate.json", "dev.ini", "featurexYz.db", "tenant.json", "tmp"}));
    EXPECT_EQ(list_dir(dir()), (std::vector<std::string>{std::string(60, 'd')}));
    EXPECT_EQ(file_exists("/featurexYz.db"), root_had_database);
}

// Pruning once kept the seven newest entries of tmp/ whatever they were and
// deleted the rest, the host's own files included.
TEST_F(StartupFiles, PruningRemovesOnlyTheOldestDayFiles) {
    const std::vector<std::string> hosts = {"daily_2026-01-01.txt.bak", "daily_notes.txt", "host-notes.txt"};
    for (const std::string& name : hosts) write_file("tmp/" + name, "the host's");
    ASSERT_EQ(mkdir("tmp/daily_2025-12-31.txt", 0700), 0);  // a folder, never a day file
    ASSERT_EQ(symlink("host-notes.txt", "tmp/daily_2025-12-30.txt"), 0);
    for (int day = 1; day <= 9; ++day) write_file("tmp/daily_2026-01-0" + std::to_string(day) + ".txt", "old");

    EXPECT_EQ(Init(), 0);
    std::vector<std::string> expected = {"daily_2025-12-30.txt", "daily_2025-12-31.txt"};
    for (int day = 4; day <= 9; ++day) expected.push_back("daily_2026-01-0" + std::to_string(day) + ".txt");
    expected.insert(expected.end(), hosts.begin(), hosts.end());
    expected.push_back(today_day_file());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir("tmp"), expected);
    EXPECT_EQ(read_file("tmp/host-notes.txt"), "the host's");
}

// A dev.ini that cannot be read once threw inside the reader (a folder), hung
// Init (a FIFO) or took a minute and gigabytes (200 MB): now it counts as
// missing, with one log line, and every other start-up step still runs.
TEST_F(StartupFiles, UnreadableDevIniCountsAsMissingAndStartUpFinishes) {
    write_other_settings();
    const std::vector<std::pair<const char*, std::function<void()>>> kinds = {
        {"folder", [] { ASSERT_EQ(mkdir("dev.ini", 0700), 0); }},
        {"FIFO", [] { ASSERT_EQ(mkfifo("dev.ini", 0600), 0); }},
        {"200 MB",
         [] {
             write_file("dev.ini", "[default]\ndev = huge\n");
             ASSERT_EQ(truncate("dev.ini", 200 << 20), 0);  // sparse: cheap to make
         }},
    };
    int refusals = 0;
    for (const auto& [kind, make] : kinds) {
        SCOPED_TRACE(kind);
        make();
        EXPECT_EQ(Init(), 0);
        expect_other_settings_read();
        EXPECT_EQ(log_count("dev.ini not read"), ++refusals);
        ASSERT_EQ(remove("dev.ini"), 0);
    }
}

// 600,000 "[" in a binding file or coordinate.json once overflowed the host's
// stack inside Init.
TEST_F(StartupFiles, DeeplyNestedSettingsFilesReadAsMalformed) {
    const std::string deep(600000, '[');
    for (const char* name : {"tenant.json", "posId.json", "coordinate.json"}) {
        SCOPED_TRACE(name);
        write_other_settings();
        write_file(name, deep);
        EXPECT_EQ(Init(), 0);
        const _CAMHP_CAP_& cam = params->cam;
        const bool coordinates = std::string(name) == "coordinate.json";
        EXPECT_EQ(cam.width, coordinates ? 0 : 340);
        EXPECT_EQ(params->tenant_code, std::string(name) == "tenant.json" ? "" : "T01");
        EXPECT_EQ(params->pos_id, std::string(name) == "posId.json" ? "" : "7");
    }
    // Nesting a settings file has a reason for still reads.
    write_file("coordinate.json", R"({"x":150,"y":70,"width":340,"height":340,"cameraNum":3,"n":[[[[]]]]})");
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(params->cam.width, 340);
}

// Links planted where the library writes or deletes under a fixed name were
// followed out of the working folder: withdrawing a code emptied the outside
// folder's <code>/, Init pruned day files outside and logged there, and the
// store's tables were created in the link's target. Each placement gets a
// working folder of its own, the link's target lies outside it.
TEST_F(StartupFiles, NoLinkIsFollowedWhereTheLibraryWritesOrDeletes) {
    const std::string today = "tmp/" + today_day_file();
    const struct Placement {
        const char* link;
        const char* target;  // under the outside folder
        std::function<void(const std::string& outside)> plant;
        int withdrawal;  // qx_ai_setnorecommend("1004") after Init
        int refusals;    // log lines: one per call refused, none where the log goes nowhere
    } placements[] = {
        {"pic_data", "", [](const std::string& outside) { write_file(outside + "/1004/a.jpg", "the host's"); },
         QX_ERR_INTERNAL, 1},
        {"tmp", "",
         [](const std::string& outside) {
             for (int day = 1; day <= 9; ++day)
                 write_file(outside + "/daily_2020-01-0" + std::to_string(day) + ".txt", "the host's");
         },
         QX_OK, 0},
        {today.c_str(), "host.txt", [](const std::string& outside) { write_file(outside + "/host.txt", "the host's"); },
         QX_OK, 0},
        {"featurexYz.db", "host.db", [](const std::string& outside) { write_file(outside + "/host.db", ""); },
         QX_ERR_INTERNAL, 2},  // Init starts without learned data, the withdrawal fails
    };
    int n = 0;
    for (const Placement& p : placements) {
        SCOPED_TRACE(p.link);
        const std::string folder = dir() + "/case" + std::to_string(n), outside = dir() + "/outside" + std::to_string(n);
        ++n;
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
        p.plant(outside);
        ASSERT_EQ(chdir(folder.c_str()), 0);
        if (std::string(p.link).find('/') != std::string::npos) {
            ASSERT_EQ(mkdir("tmp", 0700), 0);
        }
        ASSERT_EQ(symlink((outside + "/" + p.target).c_str(), p.link), 0);
        const std::vector<std::string> before = list_dir(outside);
        log_reopen();  // the day file of this working folder, as at a host's start

        EXPECT_EQ(Init(), 0);
        EXPECT_EQ(qx_ai_setnorecommend("1004"), p.withdrawal);
        Close();
        EXPECT_EQ(list_dir(outside), before);
        for (const std::string& name : before) {
            const std::string sentinel = name == "1004" ? name + "/a.jpg" : name;
            EXPECT_EQ(read_file(outside + "/" + sentinel), name == "host.db" ? "" : "the host's") << sentinel;
        }
        EXPECT_EQ(log_count("symbolic link"), p.refusals);
        EXPECT_EQ(log_is_fallback(), p.refusals == 0);
        ASSERT_EQ(chdir(dir().c_str()), 0);
    }
}

// featurexYz.db planted as a link: Init refuses to write through it (and
// starts with nothing learned), but the calls that build a whole new store
// put their file in the link's place. The link goes, its target is never
// touched, and the store works again from then on.
TEST_F(StartupFiles, CallsThatReplaceTheStoreReplaceALinkAtItsPlace) {
    ASSERT_EQ(Init(), 0);
    char copy[QX_PATH_SIZE] = "";
    ASSERT_EQ(ExportData(copy), 0);  // a sound store to import
    Close();
    const struct {
        const char* call;
        std::function<int()> run;
    } calls[] = {{"ClearTrainedData", [] { return ClearTrainedData(); }},
                 {"LearnFromPicData", [] { return LearnFromPicData(); }},  // no pic_data: nothing learned
                 {"ImportData", [&] { return ImportData((dir() + "/data-copy").c_str()); }}};
    int n = 0;
    for (const auto& c : calls) {
        SCOPED_TRACE(c.call);
        const std::string folder = dir() + "/case" + std::to_string(n), outside = dir() + "/outside" + std::to_string(n);
        ++n;
        write_file(outside + "/host.db", "the host's");
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chdir(folder.c_str()), 0);
        ASSERT_EQ(symlink((outside + "/host.db").c_str(), "featurexYz.db"), 0);
        log_reopen();
        EXPECT_EQ(Init(), 0);
        EXPECT_EQ(c.run(), QX_OK);
        struct stat status;
        ASSERT_EQ(lstat("featurexYz.db", &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(qx_ai_setnorecommend("1004"), QX_OK) << "the store is writable again";
        Close();
        EXPECT_EQ(read_file(outside + "/host.db"), "the host's");
        EXPECT_EQ(list_dir(outside), std::vector<std::string>{"host.db"});
        ASSERT_EQ(chdir(dir().c_str()), 0);
    }
}

// A FIFO where the library expects a regular file once hung the caller for
// ever in open(): today's log file (Init, any call), the store and its journal
// (every store call). Each is refused at once with a reason the technician
// can read (the log's on stderr, as the log itself is what was refused).
TEST_F(StartupFiles, FifosWhereFilesBelongAreRefusedWithoutWaiting) {
    const std::string today = "tmp/" + today_day_file();
    const struct Place {
        const char* fifo;
        bool store_refused;  // store calls fail, the log names the FIFO
    } places[] = {
        {today.c_str(), false},          {"featurexYz.db", true}, {"featurexYz.db-journal", true},
        {"featurexYz.db-wal", true},     {"featurexYz.db-shm", true}, {"coordinate.json", false},
        {"tenant.json", false},          {"posId.json", false},
    };
    int n = 0;
    for (const Place& p : places) {
        SCOPED_TRACE(p.fifo);
        const std::string folder = dir() + "/case" + std::to_string(n++);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chdir(folder.c_str()), 0);
        ASSERT_EQ(mkdir("tmp", 0700), 0);
        log_reopen();
        EXPECT_EQ(Init(), 0);  // a store to start from
        Close();
        std::remove(p.fifo);
        ASSERT_EQ(mkfifo(p.fifo, 0600), 0);
        if (std::string(p.fifo) == today) log_reopen();
        char exported[QX_PATH_SIZE];
        int export_result = 0, withdrawal = 0;
        EXPECT_TRUE(returns_in_time(
            [&] {
                Init();
                export_result = ExportData(exported);
                withdrawal = qx_ai_setnorecommend("1004");
                Close();
            },
            {p.fifo}));
        EXPECT_EQ(export_result, p.store_refused ? QX_ERR_DATA_FILE : QX_OK);
        EXPECT_EQ(withdrawal, p.store_refused ? QX_ERR_INTERNAL : QX_OK);
        EXPECT_EQ(log_is_fallback(), std::string(p.fifo) == today);
        if (p.store_refused)
            EXPECT_EQ(log_count(std::string(p.fifo) + " is not a regular file"), 3);  // Init's line, one per call
        ASSERT_EQ(chdir(dir().c_str()), 0);
    }
    log_reopen();
}

// A hard link at the store's place was written through to the file outside;
// a link at its journal's place made every store call fail with a log that did
// not say why. Both are refused with the reason, Init's first of all, and the
// outside files are left as they were.
TEST_F(StartupFiles, LinkedStoreFilesAreRefusedWithTheirReason) {
    ASSERT_EQ(Init(), 0);
    Close();
    const std::string host = read_file("featurexYz.db");
    ASSERT_EQ(mkdir("outside", 0700), 0);
    write_file("outside/host.db", host);
    const struct Case {
        const char* name;
        std::function<int()> plant;
        const char* reason;
    } cases[] = {
        {"hard link", [] { return link("outside/host.db", "featurexYz.db"); }, "featurexYz.db has 2 hard links"},
        {"journal link",
         [this] { return symlink((dir() + "/outside/journal").c_str(), "featurexYz.db-journal"); },
         "featurexYz.db-journal is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove("featurexYz.db");
        std::remove("featurexYz.db-journal");
        if (std::string(c.name) != "hard link") write_file("featurexYz.db", host);
        ASSERT_EQ(c.plant(), 0);
        const int before = log_count(c.reason);
        EXPECT_EQ(Init(), 0);
        EXPECT_EQ(log_count(c.reason), before + 1);
        EXPECT_EQ(log_count("db_init failed"), &c - cases + 1);
        EXPECT_EQ(qx_ai_setnorecommend("1004"), QX_ERR_INTERNAL);
        EXPECT_EQ(log_count(c.reason), before + 2);
        EXPECT_EQ(list_dir("outside"), std::vector<std::string>{"host.db"});
        EXPECT_EQ(read_file("outside/host.db"), host);
        Close();
    }
}
