// The set-up page's server, started as `qxvisor serve` in a fresh folder with a
// simulated camera, a real catalogue and real learned data, and driven over
// HTTP on 127.0.0.1 the way the page's script drives it.
#include "camera/camera_kit.h"
#include "cloud/mock_cloud.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// `qxvisor serve ARGS` as a child process; stopped with SIGTERM at the end.
class ServeProcess {
public:
    explicit ServeProcess(const std::vector<std::string>& extra) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> words = {QX_TOOL_FILE, "serve", "--port", "0"};
        words.insert(words.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line names the address: "qxvisor serve: open http://127.0.0.1:PORT/... (Ctrl-C stops)".
        std::string line;
        pollfd fd = {out[0], POLLIN, 0};
        char c;
        while (line.find('\n') == std::string::npos && poll(&fd, 1, 30000) > 0 && read(out[0], &c, 1) == 1) line += c;
        close(out[0]);
        std::smatch match;
        if (!std::regex_search(line, match, std::regex("http://127\\.0\\.0\\.1:(\\d+)/(\\?token=([0-9a-f]+))?")))
            throw std::runtime_error("serve did not start: " + line);
        port_ = std::stoi(match[1]);
        token_ = match[3];
    }
    ~ServeProcess() { stop(); }
    // Stops the server as Ctrl-C would; its exit status (0 when it closed cleanly).
    int stop() {
        if (pid_ < 0) return status_;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (waitpid(pid_, &status_, WNOHANG) == pid_) break;
        if (waitpid(pid_, &status_, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        pid_ = -1;
        return status_;
    }
    int port() const { return port_; }
    const std::string& token() const { return token_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = 0;
    std::string token_;
};

struct Answer {
    int status = 0;
    std::string body;
    int result() const {
        std::smatch match;
        return std::regex_search(body, match, std::regex("\"result\":(-?\\d+)")) ? std::stoi(match[1]) : 12345;
    }
    std::string member(const std::string& name) const {
        std::smatch match;
        return std::regex_search(body, match, std::regex("\"" + name + "\":(\"[^\"]*\"|[^,}]*)")) ? match[1].str() : "";
    }
};

Answer answer_of(const httplib::Result& reply) { return reply ? Answer{reply->status, reply->body} : Answer{}; }


}  // namespace

// Learned bananas (1001, in the catalogue) and carrots (1002); a tray with a
// banana in front of the simulated camera.
class ServePage : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        for (int n = 0; n < 3; ++n) {
            fs::create_directories("pic_data/1001");
            fs::create_directories("pic_data/1002");
            fs::copy_file(grocery_photo("train/Fruit/Banana", n), "pic_data/1001/" + std::to_string(n) + ".jpg");
            fs::copy_file(grocery_photo("train/Vegetables/Carrots", n), "pic_data/1002/" + std::to_string(n) + ".jpg");
        }
        ASSERT_EQ(system("sqlite3 catalogue.db \"CREATE TABLE qx_goods (pluNo, name, unitPrice, priceUnitDes, "
                         "imageUrl, keywordPinyin); INSERT INTO qx_goods VALUES ('1001','Banana','1.99','kg',NULL,'xj');\""),
                  0);
        write_file("dev.ini", "[default]\ncatalogDb = catalogue.db\nsaveImage = 1\n");
        ASSERT_EQ(system((std::string("'") + QX_TOOL_FILE + "' learn >/dev/null").c_str()), 0);
        cv::Mat frame = tray_frame(kBanana);
        source = std::make_unique<CameraSource>(write_sequence("frames", {frame, frame, frame, frame}));
    }
    void TearDown() override {
        if (server) {
            // A clean stop: Close ran, and no sanitizer found anything in the server.
            int status = server->stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "serve ended with status " << status;
        }
        server.reset();  // before the folder goes
        TempDirTest::TearDown();
    }
    void start(const std::vector<std::string>& extra = {}) {
        server = std::make_unique<ServeProcess>(extra);
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(60, 0);
    }
    Answer get(const std::string& path, const httplib::Headers& headers = {}) {
        auto reply = client->Get(path.c_str(), headers);
        return reply ? Answer{reply->status, reply->body} : Answer{};
    }
    Answer post(const std::string& path, const httplib::Params& form, httplib::Headers headers = {{"X-Qxvisor", "1"}}) {
        auto reply = client->Post(path.c_str(), headers, form);
        return reply ? Answer{reply->status, reply->body} : Answer{};
    }

    std::unique_ptr<CameraSource> source;
    std::unique_ptr<ServeProcess> server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(ServePage, CropFormsAnswerWithTheLibrarysCodes) {
    start();
    Answer page = get("/");
    EXPECT_EQ(page.status, 200);
    for (const char* panel : {"panel-camera", "panel-try", "panel-products", "panel-accuracy", "panel-status"})
        EXPECT_NE(page.body.find(panel), std::string::npos) << panel;

    struct Case {
        httplib::Params form;
        int status, result;
    } cases[] = {
        {{{"x", "150"}, {"y", "70"}, {"width", "340"}, {"height", "340"}}, 200, 0},
        {{{"x", "1"}, {"y", "0"}, {"width", "640"}, {"height", "480"}}, 200, -2008},  // QX_ERR_CROP_OUTSIDE
        {{{"x", "1"}, {"y", "0"}, {"width", "640"}}, 400, -9998},                      // QX_ERR_ARGUMENT
        {{{"x", "1e3"}, {"y", "0"}, {"width", "6"}, {"height", "6"}}, 400, -9998},
        {{{"x", "99999999999"}, {"y", "0"}, {"width", "6"}, {"height", "6"}}, 400, -9998},
    };
    for (const Case& c : cases) {
        Answer answer = post("/api/crop", c.form);
        EXPECT_EQ(answer.status, c.status) << answer.body;
        EXPECT_EQ(answer.result(), c.result) << answer.body;
    }
    // Only the first rectangle was stored; the refusal said why.
    EXPECT_EQ(read_file("coordinate.json"), R"({"x":150,"y":70,"width":340,"height":340,"cameraNum":0})");
    EXPECT_NE(post("/api/crop", cases[1].form).body.find("outside 640 x 480"), std::string::npos);
    EXPECT_NE(get("/api/camera").body.find(R"("crop":{"x":150,"y":70,"width":340,"height":340})"), std::string::npos);

    for (const char* picture : {"/api/frame.jpg", "/api/crop.jpg"}) {
        Answer jpeg = get(picture);
        EXPECT_EQ(jpeg.status, 200) << picture;
        EXPECT_EQ(jpeg.body.substr(0, 2), "\xFF\xD8") << picture;
    }
    // Watching the camera leaves no pictures behind.
    for (int i = 0; i < 3; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(400))) get("/api/frame.jpg");
    EXPECT_TRUE(list_dir("QXPhoto").empty());

    EXPECT_EQ(post("/api/camera", {{"number", "3"}}).result(), 0);
    EXPECT_NE(read_file("coordinate.json").find("\"cameraNum\":3"), std::string::npos);
    EXPECT_EQ(post("/api/camera", {{"number", "three"}}).result(), -9998);
}

TEST_F(ServePage, RecognitionIsConfirmedAndLearned) {
    start();
    ASSERT_EQ(post("/api/detect", {}).result(), -2009);  // QX_ERR_NO_CROP
    ASSERT_EQ(post("/api/crop", {{"x", "150"}, {"y", "70"}, {"width", "340"}, {"height", "340"}}).result(), 0);
    Answer detect = post("/api/detect", {});
    ASSERT_EQ(detect.result(), 0) << detect.body;
    EXPECT_NE(detect.body.find(R"("candidates":[{"rank":1,"code":"1001","name":"Banana"},{"rank":2,"code":"1002","name":""}])"),
              std::string::npos)
        << detect.body;
    EXPECT_EQ(get("/api/recognition.jpg").body.substr(0, 2), "\xFF\xD8");
    std::string session = detect.member("session");
    session = session.substr(1, session.size() - 2);

    EXPECT_EQ(post("/api/confirm", {{"code", "1001"}}).result(), -9998);
    EXPECT_EQ(post("/api/confirm", {{"code", "1001"}, {"session", "123"}}).result(), -1004);  // QX_ERR_NO_RECOGNITION
    Answer confirm = post("/api/confirm", {{"code", "1001"}, {"session", session}});
    EXPECT_EQ(confirm.result(), 0) << confirm.body;
    // Ranked first among two candidates: a hit that is still learned.
    EXPECT_EQ(confirm.member("hit"), "true");
    EXPECT_EQ(confirm.member("learned"), "true");
    EXPECT_EQ(confirm.member("samples"), "4");
    // One confirmation per recognition, even under another code.
    Answer again = post("/api/confirm", {{"code", "1002"}, {"session", session}});
    EXPECT_EQ(again.status, 409);
    EXPECT_NE(again.body.find("already confirmed as 1001"), std::string::npos) << again.body;
    // A conflict in its own words, not those of a missing value.
    EXPECT_EQ(again.member("text").rfind("\"conflict:", 0), 0u) << again.body;

    Answer products = get("/api/products");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(products.body, match,
                                  std::regex(R"(\{"code":"1001","name":"Banana","samples":4,"pictures":\[([^\]]*)\]\})")))
        << products.body;
    std::string filed = match[1];
    ASSERT_TRUE(std::regex_search(filed, match, std::regex("\"(\\d+\\.jpg)\""))) << filed;  // the confirmed tray, filed by its time
    Answer picture = get("/api/picture?code=1001&name=" + match[1].str());
    EXPECT_EQ(picture.status, 200);
    EXPECT_TRUE(picture.body == read_file("pic_data/1001/" + match[1].str()));
}

namespace {

size_t log_lines() {
    size_t lines = 0;
    for (const std::string& name : list_dir("tmp")) lines += read_lines("tmp/" + name).size();
    return lines;
}

}  // namespace

// The products list looked every name up twice through the library's search,
// which logs each record: 82 log lines per call with six products. A search
// stopped at 20 products without saying there were more.
TEST_F(ServePage, ProductNamesCostNoLogLinesAndSearchesPage) {
    std::string rows;
    for (int n = 1; n <= 45; ++n) rows += "INSERT INTO qx_goods VALUES (" + std::to_string(2000 + n) + ",'Apple " + std::to_string(n) + "','1','kg',NULL,'pg');";
    ASSERT_EQ(system(("sqlite3 catalogue.db \"" + rows + "\"").c_str()), 0);
    fs::create_directories("pic_data/2007");  // an integer pluNo, named like the folder
    start();
    const size_t before = log_lines();
    Answer products;
    for (int i = 0; i < 3; ++i) products = get("/api/products");
    EXPECT_EQ(log_lines(), before);
    EXPECT_NE(products.body.find(R"({"code":"1001","name":"Banana","samples":3,)"), std::string::npos) << products.body;
    EXPECT_NE(products.body.find(R"({"code":"1002","name":"","samples":3,)"), std::string::npos) << products.body;
    EXPECT_NE(products.body.find(R"({"code":"2007","name":"Apple 7","samples":0,)"), std::string::npos) << products.body;

    struct Case {
        std::string query;
        int status;
        std::string total;
        size_t shown;
    } cases[] = {
        {"text=apple", 200, "45", 20}, {"text=Apple&offset=20", 200, "45", 20}, {"text=pg&offset=40", 200, "45", 5},
        {"text=Apple%2045", 200, "1", 1}, {"text=Apple&offset=60", 200, "45", 0}, {"text=Apple&offset=-1", 400, "", 0},
        {"text=Apple&offset=x", 400, "", 0}, {"text=", 400, "", 0},
    };
    for (const Case& c : cases) {
        Answer found = get("/api/search?" + c.query);
        EXPECT_EQ(found.status, c.status) << c.query;
        EXPECT_EQ(found.member("total"), c.total) << c.query;
        size_t shown = 0;
        for (size_t at = 0; (at = found.body.find("{\"code\":", at)) != std::string::npos; ++at) ++shown;
        EXPECT_EQ(shown, c.shown) << c.query << " " << found.body;
    }
}

TEST_F(ServePage, RequestsReachNoFileOutsideTheWorkingFolder) {
    start();
    fs::create_symlink(shared_path("data/grocery/train/Fruit"), "escape");  // kinds, but outside
    fs::create_directories("train/Banana");
    fs::create_directories("test/Banana");
    fs::copy_file(grocery_photo("train/Fruit/Banana", 0), "train/Banana/0.jpg");
    fs::copy_file(grocery_photo("val/Fruit/Banana", 0), "test/Banana/0.jpg");
    write_file("pic_data/1001/.hidden.jpg", "x");
    for (const char* path : {"/api/picture?code=1001&name=../../dev.ini", "/api/picture?code=..&name=dev.ini",
                             "/api/picture?code=1001&name=.hidden.jpg", "/api/picture?code=%2Fetc&name=passwd",
                             "/api/picture?code=1001&name=0.jpg%00.png"})
        EXPECT_EQ(get(path).status, 404) << path;
    for (const char* folder : {"..", "/tmp", "escape", "train/../..", "missing", "dev.ini"}) {
        Answer refused = post("/api/eval", {{"train", folder}, {"test", "test"}, {"shots", "1"}});
        EXPECT_EQ(refused.result(), -9998) << folder;
        EXPECT_EQ(refused.status, 400) << folder;
    }
    // The stream's options are checked as strictly: held-out folders inside, numbers read whole.
    const httplib::Params stream = {{"train", "train"}, {"test", "test"}, {"shots", "1"}, {"mode", "stream"}};
    // Each refusal says what is wrong: a seed of 2^64-1 once read as "not a whole number".
    const std::vector<std::array<std::string, 3>> bad_options = {
        {"shots", "0", "shots"},          {"mode", "fast", "mode"},          {"block", "0", "block"},
        {"block", "2x", "block"},         {"block", "99999999999", "block"}, {"seed", "1e3", "seed is a whole number"},
        {"seed", "", "seed is a whole number"}, {"seed", "18446744073709551615", "seed is out of range"},
        {"heldout", "..", "held-out"},    {"heldout", "/tmp", "held-out"},   {"heldout", "escape", "held-out"},
        {"heldout", "missing", "held-out"}};
    for (const auto& [name, value, words] : bad_options) {
        httplib::Params form = stream;
        form.erase(name);
        form.emplace(name, value);
        Answer refused = post("/api/eval", form);
        EXPECT_EQ(refused.status, 400) << name << "=" << value;
        EXPECT_EQ(refused.result(), -9998) << name << "=" << value;
        EXPECT_NE(refused.member("problem").find(words), std::string::npos) << name << "=" << value << " " << refused.body;
    }

    // An accuracy run inside the working folder, in a folder of its own.
    ASSERT_EQ(post("/api/eval", {{"train", "train"}, {"test", "./test"}, {"shots", "1"}}).result(), 0);
    Answer state;
    ASSERT_TRUE(eventually([&] {
        state = get("/api/eval");
        return state.member("running") == "false";
    }, std::chrono::seconds(60)));
    EXPECT_NE(state.body.find(R"("kinds":[{"kind":"Banana","code":"1001","queries":1,"top1":100,"top5":100,"mistaken_for":[]}])"),
              std::string::npos)
        << state.body;
    EXPECT_EQ(state.member("done"), "1");
    EXPECT_EQ(state.member("curve"), "[]");

    // A stream run: one banana and one kiwi learned, four pictures weighed and
    // confirmed in blocks of three (each learned, as two codes are offered),
    // then the held-out banana without feedback.
    fs::create_directories("train/Kiwi");
    fs::copy_file(grocery_photo("train/Fruit/Kiwi", 0), "train/Kiwi/0.jpg");
    for (const std::string kind : {"Banana", "Kiwi"}) {
        fs::create_directories("weigh/" + kind);
        for (int n = 1; n < 3; ++n)
            fs::copy_file(grocery_photo("train/Fruit/" + kind, n), "weigh/" + kind + "/" + std::to_string(n) + ".jpg");
    }
    httplib::Params run = {{"train", "train"}, {"test", "weigh"}, {"shots", "1"}, {"mode", "stream"}, {"block", "3"},
                           {"seed", "7"}, {"heldout", "test"}};
    ASSERT_EQ(post("/api/eval", run).result(), 0);
    ASSERT_TRUE(eventually([&] {
        state = get("/api/eval");
        return state.member("running") == "false";
    }, std::chrono::seconds(60)));
    EXPECT_EQ(state.member("mode"), "\"stream\"");
    // The last phase recognises the held-out picture; it once counted on as a fifth weighing.
    EXPECT_EQ(state.member("phase"), "\"heldout\"");
    EXPECT_EQ(state.member("done") + " of " + state.member("total"), "1 of 1");
    const std::regex point(R"(\{"block":(\d),"weighings":(\d),"top1":[\d.]+,"top5":[\d.]+,"codes_shown":[\d.]+,"samples":(\d)\})");
    std::string blocks;  // block:weighings:samples, the live curve then the result's
    for (std::sregex_iterator it(state.body.begin(), state.body.end(), point), end; it != end; ++it)
        blocks += (*it)[1].str() + ":" + (*it)[2].str() + ":" + (*it)[3].str() + " ";
    EXPECT_EQ(blocks, "1:3:5 2:4:6 1:3:5 2:4:6 ") << state.body;
    EXPECT_NE(state.body.find(R"("heldout":{"queries":1,"top1":100,"top5":100)"), std::string::npos) << state.body;
    // The shop's own learned data was not touched.
    EXPECT_EQ(list_dir("pic_data/1002").size(), 3u);
}

// A folder where the learned-data file belongs: the status counted 0 samples,
// a recognition said "nothing learned matches yet" and teaching failed with
// "recognition records unreadable". Each now says the file cannot be used, and why.
TEST_F(ServePage, AnUnusableLearnedDataFileIsSaidOnEveryAction) {
    fs::remove("featurexYz.db");
    fs::create_directory("featurexYz.db");
    start();
    const std::string why = "the learned-data file featurexYz.db cannot be used: it is a folder, not a file";
    EXPECT_NE(get("/api/status").body.find(R"("store":{"file":"featurexYz.db","loaded":false,"problem":"it is a folder, not a file",)"),
              std::string::npos);
    ASSERT_EQ(post("/api/crop", {{"x", "150"}, {"y", "70"}, {"width", "340"}, {"height", "340"}}).result(), 0);
    Answer detect = post("/api/detect", {});
    EXPECT_EQ(detect.member("warning"), "\"nothing can be recognised: " + why + "\"") << detect.body;
    std::string session = detect.member("session");
    session = session.substr(1, session.size() - 2);
    httplib::MultipartFormDataItems copy = {{"file", read_file("pic_data/1001/0.jpg"), "x.db", "application/octet-stream"}};
    auto imported = client->Post("/api/import", {{"X-Qxvisor", "1"}}, copy);
    ASSERT_TRUE(imported);
    const std::pair<std::string, Answer> failures[] = {
        {"nothing was learned", post("/api/confirm", {{"code", "1001"}, {"session", session}})},
        {"nothing was withdrawn", post("/api/withdraw", {{"code", "1001"}})},
        {"nothing was exported", get("/api/export")},
        {"the file could not take the learned data's place", answer_of(imported)},
    };
    for (const auto& [undone, answer] : failures) {
        EXPECT_LT(answer.result(), 0) << answer.body;
        EXPECT_EQ(answer.member("problem"), "\"" + undone + ": " + why + "\"") << answer.body;
        const std::string detail = "\"detail\":\"";
        EXPECT_EQ(answer.body.find("QX_ERR"), answer.body.find(detail + "QX_ERR") + detail.size()) << answer.body;
    }
    ASSERT_EQ(post("/api/learn", {}).result(), 0);
    Answer learned;
    ASSERT_TRUE(eventually([&] { return (learned = get("/api/learn")).member("running") == "false"; }));
    EXPECT_NE(learned.body.find("nothing was learned, the learned data in use was kept: " + why), std::string::npos) << learned.body;
}

TEST_F(ServePage, WithdrawExportAndImport) {
    start();
    Answer exported = get("/api/export");
    ASSERT_EQ(exported.status, 200);
    EXPECT_TRUE(exported.body == read_file("data-copy"));  // the library's export, byte for byte
    EXPECT_EQ(exported.body.rfind("SQLite format 3", 0), 0u);

    Answer withdrawn = post("/api/withdraw", {{"code", "1002"}});
    EXPECT_EQ(withdrawn.result(), 0);
    EXPECT_EQ(withdrawn.member("samples"), "0");
    EXPECT_TRUE(list_dir("pic_data/1002").empty());
    EXPECT_EQ(post("/api/withdraw", {}).result(), -9998);

    httplib::MultipartFormDataItems garbage = {{"file", "not a database", "x.db", "application/octet-stream"}};
    auto refused = client->Post("/api/import", {{"X-Qxvisor", "1"}}, garbage);
    ASSERT_TRUE(refused);
    EXPECT_EQ(answer_of(refused).result(), -2007);  // QX_ERR_DATA_FILE
    httplib::MultipartFormDataItems none = {{"other", "x", "", ""}};
    refused = client->Post("/api/import", {{"X-Qxvisor", "1"}}, none);
    EXPECT_EQ(answer_of(refused).result(), -9998);

    httplib::MultipartFormDataItems copy = {{"file", exported.body, "learned-data.db", "application/octet-stream"}};
    // A link at the upload's old fixed name once had the upload overwrite the
    // file it names; uploads now land in new files of their own.
    write_file("elsewhere.db", "the host's");
    fs::create_symlink(dir() + "/elsewhere.db", "qxvisor-import.db");
    auto imported = client->Post("/api/import", {{"X-Qxvisor", "1"}}, copy);
    ASSERT_TRUE(imported);
    EXPECT_EQ(answer_of(imported).result(), 0) << imported->body;
    EXPECT_EQ(answer_of(imported).member("samples"), "6");
    EXPECT_EQ(read_file("elsewhere.db"), "the host's");
}

TEST_F(ServePage, StatusAndBinding) {
    MockCloud cloud;
    cloud.answer("GET", "/0/newretail/api/sys/org/queryTenant", {200, R"({"code":0,"data":true})"});
    cloud.answer("PUT", "/T01/newretail/api/pos/machine/bind", {200, R"({"code":0,"data":{"id":"78"}})"});
    write_file("dev.ini", "[default]\ncatalogDb = catalogue.db\ndev = http://t\ncloudHost = localhost:" +
                              std::to_string(cloud.port()) + "\n");
    start();
    Answer status = get("/api/status");
    EXPECT_EQ(status.member("samples"), "6");  // the running library's count
    EXPECT_NE(status.body.find(R"("products":[{"code":"1001","samples":3},{"code":"1002","samples":3}])"), std::string::npos);
    EXPECT_NE(status.body.find(R"("engine":{"started":true,"runs":")"), std::string::npos) << status.body;
    EXPECT_NE(status.body.find(R"("catalogue":{"path":"catalogue.db","readable":true)"), std::string::npos);
    EXPECT_NE(status.body.find(R"("searchK":100)"), std::string::npos);
    EXPECT_NE(status.body.find("daily_logger"), std::string::npos);  // the day's log lines

    EXPECT_EQ(post("/api/bind", {{"tenant", "T01"}, {"pos", "P1"}}).result(), -9998);
    Answer bound = post("/api/bind", {{"tenant", "T01"}, {"pos", "P1"}, {"sn", "SN1"}});
    EXPECT_EQ(bound.result(), 0) << bound.body;
    EXPECT_EQ(bound.member("tenant"), "\"T01\"");
    EXPECT_EQ(get("/api/status").member("tenant"), "\"T01\"");
    // The unbind answer is the C call's: an SN the cloud does not know.
    cloud.answer("GET", "/T01/newretail/api/pos/machine/unbind", {200, R"({"code":1,"msg":"SN not found"})"});
    Answer unbind = post("/api/unbind", {{"tenant", "T01"}, {"sn", "SN9"}});
    EXPECT_LT(unbind.result(), 0) << unbind.body;
    EXPECT_EQ(post("/api/unbind", {{"tenant", "T01"}}).result(), -9998);
}

namespace {

// A time zone in which it is now `local_seconds` past local midnight.
std::string zone_where_it_is(int local_seconds) {
    const long long utc = static_cast<long long>(std::time(nullptr)) % 86400;
    const long long offset = ((utc - local_seconds) % 86400 + 86400) % 86400;  // local = UTC - offset
    char zone[32];
    std::snprintf(zone, sizeof zone, "QXT%02lld:%02lld:%02lld", offset / 3600, offset / 60 % 60, offset % 60);
    return zone;
}

std::string local_day_file(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char name[40];
    std::strftime(name, sizeof name, "tmp/daily_%Y-%m-%d.txt", &local);
    return name;
}

}  // namespace

// The library changes day files at 02:07, not at midnight: from midnight on, the
// log view showed the new date's file, which did not exist yet, and so nothing.
TEST_F(ServePage, LogViewFollowsTheLibrarysDayFileAfterMidnight) {
    const char* previous = std::getenv("TZ");
    const std::string kept = previous ? previous : "";
    setenv("TZ", zone_where_it_is(86400 - 10).c_str(), 1);  // ten seconds before midnight
    tzset();
    fs::remove_all("tmp");  // only the server's own day files
    const std::time_t started = std::time(nullptr);
    start();
    const std::string before_midnight = local_day_file(started);
    std::this_thread::sleep_for(std::chrono::seconds(11) - (std::chrono::seconds(std::time(nullptr) - started)));
    const std::string after_midnight = local_day_file(std::time(nullptr));
    if (previous) setenv("TZ", kept.c_str(), 1); else unsetenv("TZ");
    tzset();
    ASSERT_NE(before_midnight, after_midnight) << "the server took too long to start";

    Answer status = get("/api/status");
    EXPECT_EQ(status.member("log_file"), "\"" + before_midnight + "\"") << status.body.substr(0, 300);
    EXPECT_FALSE(file_exists(after_midnight));
    EXPECT_NE(status.body.find("daily_logger"), std::string::npos) << "no log lines shown";
}

namespace {

// A raw connection to the server, for requests no well-behaved client sends.
struct RawClient {
    explicit RawClient(int port) {
        sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(sock); }
    void send_text(const std::string& text) { ::send(sock, text.data(), text.size(), MSG_NOSIGNAL); }
    // What the server sends until it closes or `seconds` pass.
    std::string answer(int seconds) {
        std::string got;
        pollfd fd = {sock, POLLIN, 0};
        char buffer[4096];
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until && poll(&fd, 1, 100) >= 0) {
            if (!(fd.revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = recv(sock, buffer, sizeof buffer, 0);
            if (n <= 0) return got + "<closed>";
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    int sock;
    bool connected;
};

}  // namespace

// Each group was a way to stop or mislead the server before: a 30,000-character
// binding crashed every status answer; eight slow clients blocked every request;
// 60 ranges built an answer 60 times the file; a second server shared the port;
// parallel uploads overwrote one another's file.
TEST_F(ServePage, BadRequestsCannotStopTheServer) {
    MockCloud cloud;
    const std::string huge(30000, 'A');
    cloud.answer("GET", "/0/newretail/api/sys/org/queryTenant", {200, R"({"code":0,"data":true})"});
    cloud.answer("PUT", "/T01/newretail/api/pos/machine/bind", {200, R"({"code":0,"data":{"id":")" + huge + R"("}})"});
    write_file("dev.ini", "[default]\ncatalogDb = catalogue.db\ndev = http://t\ncloudHost = localhost:" + std::to_string(cloud.port()) + "\n");
    write_file("tenant.json", R"({"demo":")" + huge + R"("})");  // as an older library stored it
    write_file("posId.json", R"({"posId":")" + huge + R"("})");
    start();

    // Long values: answered, and a bind answer this long is refused, the files kept.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(get("/api/status").status, 200);
    Answer bound = post("/api/bind", {{"tenant", "T01"}, {"pos", "P1"}, {"sn", "SN1"}});
    EXPECT_EQ(bound.status, 200);
    EXPECT_NE(bound.body.find(R"("result":-2006)"), std::string::npos) << bound.body.substr(0, 200);
    EXPECT_EQ(read_file("posId.json").size(), huge.size() + 12);
    EXPECT_EQ(get("/api/status").status, 200);

    // Slow clients: eight connections dribbling a request's first bytes take
    // no worker from the page, and are cut off at the header deadline.
    {
        std::vector<std::unique_ptr<RawClient>> slow;
        for (int i = 0; i < 8; ++i) {
            slow.push_back(std::make_unique<RawClient>(server->port()));
            slow.back()->send_text("G");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        client->set_read_timeout(5, 0);
        EXPECT_EQ(get("/api/camera").status, 200);
        for (int second = 0; second < 3; ++second) {
            for (auto& c : slow) c->send_text("E");
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        EXPECT_EQ(get("/api/camera").status, 200);
        EXPECT_NE(slow[0]->answer(15).find("<closed>"), std::string::npos);
    }
    // More connections from one address than it may hold: the rest are turned away at once.
    {
        std::vector<std::unique_ptr<RawClient>> many;
        for (int i = 0; i < 24; ++i) many.push_back(std::make_unique<RawClient>(server->port()));
        int refused = 0;
        for (auto& c : many) refused += c->answer(1).find("503") != std::string::npos;
        EXPECT_GE(refused, 8);
    }

    // Ranges: one is served, several are refused.
    Answer one = get("/api/export", {{"Range", "bytes=0-15"}});
    EXPECT_EQ(one.status, 206);
    EXPECT_EQ(one.body, "SQLite format 3" + std::string(1, '\0'));
    std::string ranges = "bytes=0-99999";
    for (int i = 1; i < 60; ++i) ranges += ",0-99999";
    Answer many_ranges = get("/api/export", {{"Range", ranges}});
    EXPECT_EQ(many_ranges.status, 416);
    EXPECT_LT(many_ranges.body.size(), 1000u);

    // A taken port: the second server says so and ends.
    std::string second = "timeout 5 '" + std::string(QX_TOOL_FILE) + "' serve --port " + std::to_string(server->port()) +
                         " >second.out 2>second.err";
    int status = std::system(second.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_NE(read_file("second.err").find("cannot listen"), std::string::npos) << read_file("second.err");

    // Parallel uploads each land in a file of their own; a huge one is refused before it is read.
    std::string copy = get("/api/export").body;
    ASSERT_EQ(copy.rfind("SQLite format 3", 0), 0u);
    std::vector<std::thread> uploads;
    std::atomic<int> imported{0};
    for (int i = 0; i < 12; ++i)
        uploads.emplace_back([&] {
            httplib::Client own("127.0.0.1", server->port());
            own.set_read_timeout(60, 0);
            httplib::MultipartFormDataItems file = {{"file", copy, "learned-data.db", "application/octet-stream"}};
            auto reply = own.Post("/api/import", {{"X-Qxvisor", "1"}}, file);
            if (reply && answer_of(reply).result() == 0) ++imported;
        });
    for (auto& t : uploads) t.join();
    EXPECT_EQ(imported, 12);
    RawClient big(server->port());
    big.send_text("POST /api/import HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Qxvisor: 1\r\n"
                  "Content-Type: multipart/form-data; boundary=x\r\nContent-Length: 400000000\r\n\r\n--x\r\n");
    EXPECT_NE(big.answer(5).find("413"), std::string::npos);
    for (const std::string& name : list_dir("."))
        EXPECT_EQ(name.rfind("qxvisor-import", 0), std::string::npos) << name;
}

// A request hidden in the body of one the server answered early (a refusal,
// a file too large) was once read as a request of its own, with headers the
// sender chose: a cross-site form's body could set the crop area, and so could
// the rest of an upload past 256 MB. The connection now ends after such an
// answer; the hidden request is never run.
TEST_F(ServePage, RequestsHiddenInAnUnreadBodyAreNeverRun) {
    start();
    const std::string form = "x=1&y=2&width=33&height=44";
    const std::string hidden = "POST /api/crop HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Qxvisor: 1\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                               std::to_string(form.size()) + "\r\n\r\n" + form;
    auto head = [](const std::string& path, const std::string& headers, size_t length) {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Content-Length: " +
               std::to_string(length) + "\r\n\r\n";
    };
    char size[16];
    std::snprintf(size, sizeof size, "%zx", hidden.size());
    const std::string coordinates = read_file("coordinate.json");
    const struct Case {
        const char* name;
        std::string request;
    } cases[] = {
        {"403: a cross-site form", head("/api/crop", "Content-Type: text/plain\r\n", hidden.size()) + hidden},
        {"400: an import that is no form",
         head("/api/import", "X-Qxvisor: 1\r\nContent-Type: text/plain\r\n", hidden.size()) + hidden},
        {"400: a chunked import that is no form",
         "POST /api/import HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Qxvisor: 1\r\nContent-Type: text/plain\r\n"
         "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + hidden + "\r\n0\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient raw(server->port());
        raw.send_text(c.request);
        const std::string answer = raw.answer(5);
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;  // one answer only
        EXPECT_NE(answer.find("<closed>"), std::string::npos) << answer;
        EXPECT_EQ(read_file("coordinate.json"), coordinates);
    }
    // An upload that passes 256 MB in a body under the payload limit: the
    // lines of the file past the limit, then the hidden request.
    const std::string part = "--x\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.db\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n";
    const std::string line = std::string(1022, 'z') + "\r\n";
    const size_t lines = kUploadLimit / line.size() + 2;
    const std::string tail = "\r\n" + hidden;
    RawClient raw(server->port());
    raw.send_text(head("/api/import", "X-Qxvisor: 1\r\nContent-Type: multipart/form-data; boundary=x\r\n",
                       part.size() + lines * line.size() + tail.size()) + part);
    std::string block;
    for (size_t i = 0; i < 1024; ++i) block += line;
    for (size_t sent = 0; sent < lines; sent += 1024)
        raw.send_text(sent + 1024 <= lines ? block : block.substr(0, (lines - sent) * line.size()));
    raw.send_text(tail);
    const std::string answer = raw.answer(10);
    EXPECT_EQ(answer.find("HTTP/1.1 400"), std::string::npos);  // no leftover line read as a request
    EXPECT_EQ(read_file("coordinate.json"), coordinates);
    for (const std::string& name : list_dir(".")) EXPECT_EQ(name.rfind("qxvisor-import", 0), std::string::npos) << name;
}

// Ctrl-C with the page open in a browser: the kept-alive connection that polls
// the camera held the server until the browser went away.
TEST_F(ServePage, StopsPromptlyWhileAPageKeepsPolling) {
    start();
    std::atomic<bool> polling{true};
    std::thread page([&] {
        httplib::Client browser("127.0.0.1", server->port());
        browser.set_keep_alive(true);
        while (polling) {
            browser.Get("/api/frame.jpg");
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto asked = std::chrono::steady_clock::now();
    const int status = server->stop();
    const auto took = std::chrono::steady_clock::now() - asked;
    polling = false;
    page.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "serve ended with status " << status;
    EXPECT_LT(took, std::chrono::seconds(3));
}

TEST_F(ServePage, OtherSitesAndMissingTokensAreRefused) {
    start();
    httplib::Params crop = {{"x", "0"}, {"y", "0"}, {"width", "10"}, {"height", "10"}};
    EXPECT_EQ(post("/api/crop", crop, httplib::Headers{}).status, 403);  // a plain cross-site form has no marker
    EXPECT_EQ(post("/api/crop", crop, httplib::Headers{{"X-Qxvisor", "1"}, {"Origin", "http://evil.example"}}).status, 403);
    EXPECT_EQ(get("/api/status", httplib::Headers{{"Host", "evil.example"}}).status, 403);  // a name rebound to 127.0.0.1
    EXPECT_EQ(read_file("coordinate.json"), R"({"cameraNum":0})");
    EXPECT_EQ(post("/api/crop", crop, httplib::Headers{{"X-Qxvisor", "1"}, {"Origin", "http://127.0.0.1:" + std::to_string(server->port())}}).status, 200);
}

TEST_F(ServePage, ListeningOnANamedAddressAsksForTheToken) {
    start({"--listen", "127.0.0.1"});
    ASSERT_EQ(server->token().size(), 32u);
    EXPECT_EQ(get("/").status, 401);
    EXPECT_EQ(get("/?token=0123456789abcdef0123456789abcdef").status, 401);
    EXPECT_EQ(get("/api/status", httplib::Headers{{"Cookie", "qxvisor_token=wrong"}}).status, 401);
    auto page = client->Get(("/?token=" + server->token()).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    std::string cookie = page->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.rfind("qxvisor_token=" + server->token() + ";", 0), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_EQ(get("/api/status", httplib::Headers{{"Cookie", "qxvisor_token=" + server->token()}}).status, 200);
    EXPECT_EQ(post("/api/withdraw", {{"code", "1002"}}, httplib::Headers{{"X-Qxvisor", "1"}, {"Cookie", "qxvisor_token=" + server->token()}}).result(), 0);
}

// The admission rules on their own, for addresses a test on 127.0.0.1 cannot send from.
TEST(ServeGuard, AdmitsByAddressHostOriginAndToken) {
    GuardSettings local;
    GuardSettings listening{true, "t0k3n", 8080};
    struct Case {
        const GuardSettings* settings;
        RequestFacts request;
        Admission expected;
    } cases[] = {
        {&local, {"127.0.0.1", "GET", "127.0.0.1:8080", "", "", ""}, Admission::Allowed},
        {&local, {"::1", "GET", "[::1]:8080", "", "", ""}, Admission::Allowed},
        {&local, {"127.0.0.1", "GET", "localhost:8080", "", "", ""}, Admission::Allowed},
        {&local, {"192.168.1.9", "GET", "127.0.0.1:8080", "", "", ""}, Admission::WrongAddress},
        {&local, {"127.0.0.1", "GET", "rebound.example:8080", "", "", ""}, Admission::WrongHost},
        {&local, {"127.0.0.1", "POST", "127.0.0.1:8080", "", "", ""}, Admission::WrongOrigin},
        {&local, {"127.0.0.1", "POST", "127.0.0.1:8080", "http://127.0.0.1:8080", "1", ""}, Admission::Allowed},
        {&local, {"127.0.0.1", "POST", "127.0.0.1:8080", "http://evil.example", "1", ""}, Admission::WrongOrigin},
        {&listening, {"192.168.1.9", "GET", "192.168.1.5:8080", "", "", "t0k3n"}, Admission::Allowed},
        {&listening, {"192.168.1.9", "GET", "192.168.1.5:8080", "", "", "t0k3"}, Admission::NoToken},
        {&listening, {"127.0.0.1", "GET", "127.0.0.1:8080", "", "", ""}, Admission::NoToken},
        {&listening, {"192.168.1.9", "POST", "192.168.1.5:8080", "http://192.168.1.5:8080", "1", "t0k3n"}, Admission::Allowed},
        {&listening, {"192.168.1.9", "POST", "192.168.1.5:8080", "http://evil.example", "1", "t0k3n"}, Admission::WrongOrigin},
    };
    for (const Case& c : cases)
        EXPECT_EQ(admit(*c.settings, c.request), c.expected) << c.request.remote_addr << " " << c.request.method << " " << c.request.host;
    GuardSettings no_token{true, "", 8080};
    EXPECT_EQ(admit(no_token, {"127.0.0.1", "GET", "x", "", "", ""}), Admission::NoToken);
    EXPECT_EQ(cookie_token("a=b; qxvisor_token=abc; c=d"), "abc");
    EXPECT_EQ(make_token().size(), 32u);
    EXPECT_NE(make_token(), make_token());
}
