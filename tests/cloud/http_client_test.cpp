#include "cloud/CommonTools.h"

#include "mock_cloud.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <functional>
#include <future>
#include <vector>

// Each request kind with `timeout` seconds (the upload's limit is its own 3 s);
// "upload" sends `photo` by POST.
struct MethodCase {
    const char* method;
    std::function<unsigned(const std::string&, std::string&)> call;
};
std::vector<MethodCase> every_method(const std::string& photo, int timeout) {
    return {
        {"GET", [=](auto& url, auto& r) { return CommonTools::http_get(url, r, timeout); }},
        {"POST", [=](auto& url, auto& r) { return CommonTools::http_post(url, "{}", r, timeout); }},
        {"PUT", [=](auto& url, auto& r) { return CommonTools::http_put(url, "{}", r, timeout); }},
        {"DELETE", [=](auto& url, auto& r) { return CommonTools::http_delete(url, r, timeout); }},
        {"upload",
         [=](auto& url, auto& r) { return static_cast<unsigned>(CommonTools::upload_file(url.c_str(), photo.c_str(), r)); }},
    };
}

class HttpClient : public TempDirTest {
protected:
    MockCloud cloud;
};

// The PUT body is 1023 bytes and the POST body 3002: both go out whole, not cut at a fixed buffer.
TEST_F(HttpClient, EachMethodSendsItsWireFormAndAppendsTheBodyWhateverTheStatus) {
    const std::string big = "\"" + std::string(3000, 'j') + "\"", edge = "\"" + std::string(1021, 'j') + "\"";
    struct Case {
        const char* method;
        std::function<unsigned(const std::string&, std::string&)> call;
        std::string body;          // as the server must see it
        const char* content_type;  // "" for none
    } const cases[] = {
        {"GET", [](auto& url, auto& r) { return CommonTools::http_get(url + "?a=1", r, 3); }, "", ""},
        {"POST", [&](auto& url, auto& r) { return CommonTools::http_post(url, big, r, 3); }, big, "application/json"},
        {"PUT", [&](auto& url, auto& r) { return CommonTools::http_put(url, edge, r, 3); }, edge, "application/json"},
        {"DELETE", [](auto& url, auto& r) { return CommonTools::http_delete(url, r, 3); }, "", "application/json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        cloud.answer(c.method, "/x", {500, R"({"code":1})"});
        std::string response = "x";
        EXPECT_EQ(c.call(cloud.url("/x"), response), 0u);
        EXPECT_EQ(response, R"(x{"code":1})");
        auto seen = cloud.seen(c.method, "/x");
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].body, c.body);
        EXPECT_EQ(seen[0].headers.count("content-type"), *c.content_type ? 1u : 0u);
        EXPECT_EQ(seen[0].header("content-type"), c.content_type);
    }
    EXPECT_EQ(cloud.seen("GET", "/x")[0].target, "/x?a=1");
    EXPECT_EQ(cloud.seen("DELETE", "/x")[0].header("content-length"), "");
    std::string response;
    CommonTools::http_post(cloud.url("/nul"), std::string("{}\0tail", 7), response, 3);
    EXPECT_EQ(cloud.seen("POST", "/nul").at(0).body, "{}");  // a C text ends at its NUL
}

TEST_F(HttpClient, UploadSendsPathFieldThenFileNamedHelloJpg) {
    const std::string photo = read_file(shared_path("data/grocery/train/Fruit/Banana/Banana_001.jpg"));
    write_file("x.png", photo);
    cloud.answer("POST", "/upload", {200, R"({"code":0,"data":"u"})"});
    std::string response;
    EXPECT_EQ(CommonTools::upload_file(cloud.url("/upload").c_str(), (dir() + "/x.png").c_str(), response), 0);
    EXPECT_EQ(response, R"({"code":0,"data":"u"})");
    auto seen = cloud.seen("POST", "/upload");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header("content-type").rfind("multipart/form-data; boundary=", 0), 0u);
    ASSERT_EQ(seen[0].parts.size(), 2u);
    const SeenPart &field = seen[0].parts[0], &file = seen[0].parts[1];
    EXPECT_EQ(field.name + "|" + field.filename + "|" + field.content, "path||device_cover");
    EXPECT_EQ(file.name + "|" + file.filename + "|" + file.content_type, "file|hello.jpg|image/jpeg");
    EXPECT_EQ(file.content, photo);
}

// Every request keeps its time limit: a server answering after 5 s fails each
// one with 28. Until these cases, POST, PUT, DELETE and the upload could lose
// their limit and no test noticed. The requests run side by side: about 3 s.
TEST_F(HttpClient, SlowServerTimesEveryMethodOutWith28) {
    const std::string photo = dir() + "/x.jpg";
    write_file(photo, "jpeg");
    const std::vector<MethodCase> cases = every_method(photo, 1);
    std::vector<std::future<std::pair<unsigned, std::string>>> results;
    for (const MethodCase& c : cases) {
        const std::string method = std::string(c.method) == "upload" ? "POST" : c.method;
        const std::string path = std::string("/slow-") + c.method;
        cloud.answer(method, path, {200, R"({"code":0})", MockAnswer::Kind::Slow});
        results.push_back(std::async(std::launch::async, [&c, url = cloud.url(path)] {
            std::string response;
            const unsigned code = c.call(url, response);
            return std::make_pair(code, response);
        }));
    }
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(cases[i].method);
        const auto [code, response] = results[i].get();
        EXPECT_EQ(code, static_cast<unsigned>(CURLE_OPERATION_TIMEDOUT));
        EXPECT_EQ(response, "");
    }
}

// A server pushing more than any endpoint answers (once 100 MB, taking the
// host to 595 MB) has its transfer abandoned as failed once 256 kB arrived.
TEST_F(HttpClient, AnswersBeyondTheLimitAreAbandonedAsFailed) {
    const std::string photo = dir() + "/x.jpg";
    write_file(photo, "jpeg");
    const std::string flood(2 << 20, 'x'), fits(200 << 10, 'y');
    const std::vector<MethodCase> cases = every_method(photo, 3);
    for (const MethodCase& c : cases) {
        SCOPED_TRACE(c.method);
        const std::string method = std::string(c.method) == "upload" ? "POST" : c.method;
        cloud.answer(method, "/flood", {200, flood});
        cloud.answer(method, "/fits", {200, fits});
        std::string response;
        EXPECT_EQ(c.call(cloud.url("/flood"), response), static_cast<unsigned>(CURLE_WRITE_ERROR));
        EXPECT_LE(response.size(), 256u << 10);
        response.clear();
        EXPECT_EQ(c.call(cloud.url("/fits"), response), 0u);
        EXPECT_EQ(response, fits);
    }
}

TEST_F(HttpClient, DownloadWritesTheBodyOrFailsWithMinusOne) {
    const std::string binary("bin\0ary", 7);
    cloud.answer("GET", "/file", {200, binary});
    cloud.answer("GET", "/cut", {200, "partial", MockAnswer::Kind::Cut});
    EXPECT_EQ(CommonTools::download_file(cloud.url("/file").c_str(), "no-folder/got.bin"), -1);
    EXPECT_TRUE(cloud.seen().empty());  // no transfer without a file to write to
    EXPECT_EQ(CommonTools::download_file(cloud.url("/file").c_str(), "got.bin"), 0);
    EXPECT_EQ(read_file("got.bin"), binary);
    EXPECT_EQ(CommonTools::download_file(cloud.url("/cut").c_str(), "cut.bin"), -1);
    EXPECT_EQ(read_file("cut.bin"), "partial");  // what had arrived stays
}
