// The technician's tool, run as a separate process in a fresh folder the way a
// technician runs it.
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun qxvisor(const std::string& args, const std::string& input = "") {
    std::string command = std::string("'") + QX_TOOL_FILE + "' " + args + " 2>stderr.txt";
    if (!input.empty()) {
        write_file("stdin.txt", input);
        command += " <stdin.txt";
    }
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, read_file("stderr.txt")};
}


// train/<kind>/<n>.jpg and test/<kind>/<n>.jpg: the first photos of each
// kind's train and val folders under ../shared/data/grocery/.../Fruit.
void photo_trees(const std::vector<std::string>& kinds, int train, int test) {
    for (const std::string& kind : kinds) {
        fs::create_directories("train/" + kind);
        fs::create_directories("test/" + kind);
        for (int n = 0; n < train; ++n)
            fs::copy_file(grocery_photo("train/Fruit/" + kind, n), "train/" + kind + "/" + std::to_string(n) + ".jpg");
        for (int n = 0; n < test; ++n)
            fs::copy_file(grocery_photo("val/Fruit/" + kind, n), "test/" + kind + "/" + std::to_string(n) + ".jpg");
    }
}


}  // namespace

class Qxvisor : public TempDirTest {};

TEST_F(Qxvisor, HelpForEveryCommand) {
    ToolRun overview = qxvisor("--help");
    EXPECT_EQ(overview.status, 0);
    for (const char* command : {"detect", "test-detect", "feedback", "learn", "export", "import", "clear",
                                "norecommend", "camera", "crop", "snapshot", "bind", "unbind", "find", "eval",
                                "bench", "batch", "serve"}) {
        EXPECT_NE(overview.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        ToolRun help = qxvisor(std::string(command) + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: qxvisor ") + command, 0), 0u) << help.out;
    }
    for (const char* bad : {"serve --port x", "serve --port 70000", "serve --listen", "serve extra"})
        EXPECT_EQ(qxvisor(bad).status, 1) << bad;  // refused before anything is started
    ToolRun unknown = qxvisor("frobnicate");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("unknown command"), std::string::npos);
}

// One line per processor back end with its figures; OpenCL says why it is
// missing on a machine without a graphics processor. Wall time always comes
// with processor time and the load the board was under.
TEST_F(Qxvisor, BenchTimesEveryBackEnd) {
    ASSERT_EQ(qxvisor("crop set 0 0 640 480").status, 0);
    const std::string photo = grocery_photo("val/Fruit/Kiwi", 0);
    ToolRun run = qxvisor("bench --forwards 2 --photo '" + photo + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("before: load average ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\ndefault: XNNPACK"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" between 1 and 2 threads from its forwards (1 thread: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("wall "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" ms, processor "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("TestDetect on " + photo + " with the store as it is: wall "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nafter: load average "), std::string::npos) << run.out;
    EXPECT_NE(qxvisor("bench --forwards 1").out.find("TestDetect: no picture under pic_data/"), std::string::npos);
    EXPECT_NE(run.out.find("XNNPACK, 1 thread, "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("XNNPACK int8, 1 thread, "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" int8 kernels: load "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("OpenCV DNN, processor"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("OpenCL"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("forward "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ms (median of 2)"), std::string::npos) << run.out;
    EXPECT_EQ(qxvisor("bench --forwards 0").status, 1);
}

TEST_F(Qxvisor, CropRoundTripAndRefusalInOneLine) {
    EXPECT_EQ(qxvisor("crop set 10 20 300 200").status, 0);
    ToolRun get = qxvisor("crop get");
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, "10 20 300 200\n");  // the library's own prints stay off stdout
    ToolRun refused = qxvisor("crop set 1 0 640 480");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "qxvisor crop: QX_ERR_CROP_OUTSIDE (crop rectangle outside 640 x 480)\n");
    EXPECT_EQ(qxvisor("crop set 1 2 3").status, 1);
}

TEST_F(Qxvisor, RecognisesConfirmsAndFindsNames) {
    fs::create_directories("pic_data/1001");
    fs::create_directories("pic_data/1002");
    for (int n = 0; n < 3; ++n) {
        fs::copy_file(grocery_photo("train/Fruit/Banana", n), "pic_data/1001/" + std::to_string(n) + ".jpg");
        fs::copy_file(grocery_photo("train/Vegetables/Carrots", n), "pic_data/1002/" + std::to_string(n) + ".jpg");
    }
    ASSERT_EQ(system("sqlite3 catalogue.db \"CREATE TABLE qx_goods (pluNo, name, unitPrice, priceUnitDes, imageUrl, "
                     "keywordPinyin); INSERT INTO qx_goods VALUES ('1001','Banana','1.99','kg',NULL,'xj');\""),
              0);
    write_file("dev.ini", "[default]\ncatalogDb = catalogue.db\n");
    ASSERT_EQ(qxvisor("learn").status, 0);
    ASSERT_EQ(qxvisor("crop set 0 0 640 480").status, 0);

    ToolRun detect = qxvisor("test-detect '" + grocery_photo("val/Fruit/Banana", 0) + "' --confirm 1001");
    ASSERT_EQ(detect.status, 0) << detect.err;
    EXPECT_NE(detect.out.find(" 1. 1001  Banana\n"), std::string::npos) << detect.out;
    EXPECT_NE(detect.out.find("confirmed 1001 (hit)"), std::string::npos) << detect.out;

    ToolRun find = qxvisor("find xj");
    EXPECT_EQ(find.out, "{pluNo:1001name :BananaunitPrice :1.99priceUnitDes :kgimageUrl :keywordPinyin :xj}\n");
}

TEST_F(Qxvisor, BatchKeepsTheSessionBetweenCommands) {
    fs::create_directories("pic_data/1001");
    fs::copy_file(grocery_photo("train/Fruit/Banana", 0), "pic_data/1001/0.jpg");
    ASSERT_EQ(qxvisor("learn").status, 0);
    ToolRun batch = qxvisor("batch -", "crop set 0 0 640 480\n# a comment\ntest-detect " +
                                           grocery_photo("val/Vegetables/Carrots", 0) + "\nfeedback 1002 $SESSION\n");
    EXPECT_EQ(batch.status, 0) << batch.err;
    EXPECT_NE(batch.out.find("feedback stored for 1002"), std::string::npos) << batch.out;
    // Outside one batch a session does not survive the next start.
    ToolRun stale = qxvisor("feedback 1002 123");
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("QX_ERR_NO_RECOGNITION"), std::string::npos);
}

// Each command starts the library, which makes a store of another engine
// again before it serves it: the command waits for that instead of being
// refused, or cancelling the work when it closes the library.
TEST_F(Qxvisor, CommandsWaitForAStoreOfAnotherEngineToBeMadeAgain) {
    fs::create_directories("pic_data/1001");
    for (int n = 0; n < 2; ++n)
        fs::copy_file(grocery_photo("train/Fruit/Banana", n), "pic_data/1001/" + std::to_string(n) + ".jpg");
    ASSERT_EQ(qxvisor("learn").status, 0);
    ASSERT_EQ(qxvisor("crop set 0 0 640 480").status, 0);
    const std::string other_engine = "sqlite3 featurexYz.db \"update feature_producer set model = printf('%064d', 7);\"";
    ASSERT_EQ(system(other_engine.c_str()), 0);
    ToolRun learn = qxvisor("learn");
    EXPECT_EQ(learn.status, 0) << learn.err;
    EXPECT_NE(learn.err.find("made by another engine"), std::string::npos) << learn.err;

    ASSERT_EQ(system(other_engine.c_str()), 0);
    ToolRun detect = qxvisor("test-detect '" + grocery_photo("val/Fruit/Banana", 0) + "'");
    ASSERT_EQ(detect.status, 0) << detect.err;
    EXPECT_NE(detect.out.find(" 1. 1001"), std::string::npos) << detect.out;
    ASSERT_EQ(system("sqlite3 featurexYz.db \"select count(*) from feature_producer where model = printf('%064d', 7);\" "
                     ">other.txt"),
              0);
    EXPECT_EQ(read_file("other.txt"), "0\n") << "the store is recorded as the engine's own again";
}

TEST_F(Qxvisor, EvalReportsAccuracyPerKind) {
    photo_trees({"Banana", "Kiwi"}, 2, 2);
    fs::create_directories("run");
    ASSERT_EQ(chdir("run"), 0);
    ToolRun eval = qxvisor("eval ../train ../test --shots 1");
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(eval.status, 0) << eval.err;
    EXPECT_NE(eval.out.find("Banana"), std::string::npos);
    EXPECT_NE(eval.out.find("2 kinds; 4 queries of 2 kinds"), std::string::npos) << eval.out;
    EXPECT_NE(eval.out.find("top-1 "), std::string::npos);
    ASSERT_EQ(chdir("run"), 0);
    ToolRun again = qxvisor("eval ../train ../test");
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--force"), std::string::npos);
}

// --query-engine recognises every gallery on the other engine, and every
// gallery learns on QX_ENGINE's again: the store stays the learning engine's.
TEST_F(Qxvisor, EvalQueryEngineRecognisesEveryGalleryOnTheOtherEngine) {
    photo_trees({"Banana", "Kiwi"}, 2, 1);
    fs::create_directories("run");
    ASSERT_EQ(chdir("run"), 0);
    setenv("QX_ENGINE", "fp32", 1);
    ToolRun eval = qxvisor("eval ../train ../test --shots 1 --galleries 2 --query-engine int8");
    unsetenv("QX_ENGINE");
    ToolRun wrong = qxvisor("eval ../train ../test --force --query-engine fp16");
    const int recorded = system("sqlite3 featurexYz.db \"select precision from feature_producer;\" >../precision.txt");
    const std::string log = read_file("tmp/" + today_day_file());
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(eval.status, 0) << eval.err;
    EXPECT_NE(eval.out.find("2 galleries"), std::string::npos) << eval.out;
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("--query-engine needs fp32, int8 or opencv"), std::string::npos) << wrong.err;
    ASSERT_EQ(recorded, 0);
    EXPECT_EQ(read_file("precision.txt"), "fp32\n");
    size_t served = 0;
    for (size_t at = 0; (at = log.find("/fp32 is served by ", at)) != std::string::npos; ++at) ++served;
    EXPECT_EQ(served, 2u) << log;
}

// The learned photos are drawn with the seed (the same seed, the same photos);
// several galleries give each run and the mean and spread; --json carries the
// codes shown and the median time; kinds left out measure the turned away.
TEST_F(Qxvisor, EvalDrawsGalleriesWithTheSeed) {
    const char* const kinds[] = {"Banana", "Kiwi", "Lemon"};
    photo_trees({kinds[0], kinds[1], kinds[2]}, 4, 1);
    fs::create_directories("run");
    ASSERT_EQ(chdir("run"), 0);
    // Which train photo of each kind (codes 1001.. by name) a run learned, by its bytes.
    auto learned = [&] {
        std::string picks;
        for (int k = 0; k < 3; ++k)
            for (int n = 0; n < 4; ++n)
                if (read_file("pic_data/" + std::to_string(1001 + k) + "/0.jpg") ==
                    read_file(std::string("../train/") + kinds[k] + "/" + std::to_string(n) + ".jpg"))
                    picks += std::to_string(n);
        return picks;
    };
    ASSERT_EQ(qxvisor("eval ../train ../test --shots 1").status, 0);
    EXPECT_EQ(learned(), "000");
    std::set<std::string> draws;
    for (int seed : {1, 2, 3, 4, 1}) {
        ToolRun run = qxvisor("eval ../train ../test --shots 1 --force --seed " + std::to_string(seed));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("drawn with seed " + std::to_string(seed)), std::string::npos) << run.out;
        draws.insert(std::to_string(seed) + ":" + learned());
    }
    EXPECT_EQ(draws.size(), 4u) << "seed 1 twice draws the same photos";
    EXPECT_NE(std::count_if(draws.begin(), draws.end(), [](const std::string& d) { return d.substr(2) != "000"; }), 0);

    ToolRun json = qxvisor("eval ../train ../test --shots 2 --force --galleries 3 --seed 5 --json");
    ASSERT_EQ(json.status, 0) << json.err;
    for (const char* member : {R"("galleries":3)", R"("queries":3)", R"("codes_shown":)", R"("median_ms":)",
                               R"("spread":{"top1":{"mean":)", R"("sd":)", R"("runs":[{"seed":5,)", R"({"seed":7,)"})
        EXPECT_NE(json.out.find(member), std::string::npos) << member << " in " << json.out;
    ToolRun single = qxvisor("eval ../train ../test --shots 1 --force --json --leave-out 1");
    ASSERT_EQ(single.status, 0) << single.err;
    for (const char* member : {R"("queries":2,)", R"("codes_shown":)", R"("median_ms":)", R"("unlearned":{"queries":1,"turned_away":)"})
        EXPECT_NE(single.out.find(member), std::string::npos) << member << " in " << single.out;
    ToolRun plain = qxvisor("eval ../train ../test --shots 1 --force --galleries 2 --leave-out 1");
    ASSERT_EQ(chdir(".."), 0);
    ASSERT_EQ(plain.status, 0) << plain.err;
    for (const char* line : {"gallery seed 1: top-1 ", "gallery seed 2: top-1 ", "2 galleries of 1 picture(s) per kind, 2 kinds; 2 queries of 2 kinds each",
                             "top-1        mean ", "turned away  mean "})
        EXPECT_NE(plain.out.find(line), std::string::npos) << line << " in " << plain.out;
    EXPECT_EQ(qxvisor("eval train test --galleries 0").status, 1);
    EXPECT_EQ(qxvisor("eval train test --stream --galleries 2").status, 1);
}

// The stream: one photo per kind learned, the other train photos recognised
// and confirmed (each one learned: the list shown always holds the other
// kind too), then the held-out photos without feedback.
TEST_F(Qxvisor, EvalStreamLearnsFromConfirmationsAndWritesItsCurve) {
    photo_trees({"Banana", "Kiwi"}, 3, 1);
    fs::create_directories("run");
    ASSERT_EQ(chdir("run"), 0);
    ToolRun stream = qxvisor("eval ../train ../train --stream --heldout ../test --shots 1 --block 3 --csv curve.csv");
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(stream.status, 0) << stream.err;
    const std::vector<std::string> curve = read_lines("run/curve.csv");
    ASSERT_EQ(curve.size(), 3u);
    EXPECT_EQ(curve[0], "weighings,block_queries,block_top1,block_top5,block_codes_shown,samples");
    EXPECT_EQ(curve[1].rfind("3,3,", 0), 0u) << curve[1];
    EXPECT_EQ(curve[2].rfind("4,1,", 0), 0u) << curve[2];
    EXPECT_EQ(curve[2].substr(curve[2].rfind(',')), ",6") << curve[2];
    EXPECT_NE(stream.out.find("2 samples; 6 samples at the end"), std::string::npos) << stream.out;
    EXPECT_NE(stream.out.find("stream: 4 weighings"), std::string::npos) << stream.out;
    EXPECT_NE(stream.out.find("held out, no feedback: 2 weighings"), std::string::npos) << stream.out;
}
