#include "cloud/CommonTools.h"

#include "mock_cloud.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

class HttpClient : public TempDirTest {
protected:
    MockCloud cloud;
};

TEST_F(HttpClient, GetAppendsTheBodyAndSendsNoContentType) {
    cloud.answer("GET", "/hello", {200, "abc"});
    std::string response = "x";
    EXPECT_EQ(CommonTools::http_get(cloud.url("/hello?a=1"), response, 3), 0u);
    EXPECT_EQ(response, "xabc");
    auto seen = cloud.seen("GET", "/hello");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/hello?a=1");
    EXPECT_EQ(seen[0].header("content-type"), "");
}

TEST_F(HttpClient, PostSendsJsonHeaderAndBody) {
    cloud.answer("POST", "/report", {200, R"({"code":0})"});
    std::string response;
    EXPECT_EQ(CommonTools::http_post(cloud.url("/report"), R"({"a":"b"})", response, 3), 0u);
    EXPECT_EQ(response, R"({"code":0})");
    auto seen = cloud.seen("POST", "/report");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, R"({"a":"b"})");
    EXPECT_EQ(seen[0].headers.count("content-type"), 1u);
    EXPECT_EQ(seen[0].header("content-type"), "application/json");
}

TEST_F(HttpClient, PostAnswered500StillReturnsZeroWithTheBody) {
    cloud.answer("POST", "/report", {500, R"({"code":1})"});
    std::string response;
    EXPECT_EQ(CommonTools::http_post(cloud.url("/report"), "{}", response, 3), 0u);
    EXPECT_EQ(response, R"({"code":1})");
}

class HttpClientBodySize : public HttpClient, public ::testing::WithParamInterface<size_t> {};

TEST_P(HttpClientBodySize, PostAndPutSendTheBodyWhole) {
    const std::string body = "\"" + std::string(GetParam() - 2, 'j') + "\"";
    std::string response;
    EXPECT_EQ(CommonTools::http_post(cloud.url("/big"), body, response, 3), 0u);
    EXPECT_EQ(CommonTools::http_put(cloud.url("/big"), body, response, 3), 0u);
    auto posted = cloud.seen("POST", "/big");
    auto put = cloud.seen("PUT", "/big");
    ASSERT_EQ(posted.size(), 1u);
    ASSERT_EQ(put.size(), 1u);
    EXPECT_EQ(posted[0].body, body);
    EXPECT_EQ(put[0].body, body);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HttpClientBodySize, ::testing::Values(1023, 1024, 3000));

TEST_F(HttpClient, BodyEndsAtItsFirstNulByte) {
    std::string response;
    EXPECT_EQ(CommonTools::http_post(cloud.url("/nul"), std::string("{}\0tail", 7), response, 3), 0u);
    auto seen = cloud.seen("POST", "/nul");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "{}");
}

TEST_F(HttpClient, PutSendsMethodHeaderAndBody) {
    cloud.answer("PUT", "/bind", {200, "ok"});
    std::string response;
    EXPECT_EQ(CommonTools::http_put(cloud.url("/bind"), R"({"k":1})", response, 3), 0u);
    EXPECT_EQ(response, "ok");
    auto seen = cloud.seen("PUT", "/bind");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, R"({"k":1})");
    EXPECT_EQ(seen[0].header("content-type"), "application/json");
}

TEST_F(HttpClient, DeleteSendsMethodHeaderAndNoBody) {
    cloud.answer("DELETE", "/thing", {200, "gone"});
    std::string response;
    EXPECT_EQ(CommonTools::http_delete(cloud.url("/thing"), response, 3), 0u);
    EXPECT_EQ(response, "gone");
    auto seen = cloud.seen("DELETE", "/thing");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "");
    EXPECT_EQ(seen[0].header("content-length"), "");
    EXPECT_EQ(seen[0].header("content-type"), "application/json");
}

TEST_F(HttpClient, UploadSendsPathFieldThenFileNamedHelloJpg) {
    const std::string photo = read_file(shared_path("data/grocery/train/Fruit/Banana/Banana_001.jpg"));
    ASSERT_FALSE(photo.empty());
    write_file("x.png", photo);
    cloud.answer("POST", "/upload", {200, R"({"code":0,"data":"u"})"});
    std::string response;
    EXPECT_EQ(CommonTools::upload_file(cloud.url("/upload").c_str(), (dir() + "/x.png").c_str(), response), 0);
    EXPECT_EQ(response, R"({"code":0,"data":"u"})");
    auto seen = cloud.seen("POST", "/upload");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header("content-type").rfind("multipart/form-data; boundary=", 0), 0u);
    ASSERT_EQ(seen[0].parts.size(), 2u);
    EXPECT_EQ(seen[0].parts[0].name, "path");
    EXPECT_EQ(seen[0].parts[0].filename, "");
    EXPECT_EQ(seen[0].parts[0].content, "device_cover");
    EXPECT_EQ(seen[0].parts[1].name, "file");
    EXPECT_EQ(seen[0].parts[1].filename, "hello.jpg");
    EXPECT_EQ(seen[0].parts[1].content_type, "image/jpeg");
    EXPECT_EQ(seen[0].parts[1].content, photo);
}

TEST_F(HttpClient, UploadOfAMissingFileFailsWithoutSendingIt) {
    std::string response;
    EXPECT_EQ(CommonTools::upload_file(cloud.url("/upload").c_str(), "no-such.jpg", response), CURLE_READ_ERROR);
    EXPECT_TRUE(cloud.seen("POST", "/upload").empty());
}

TEST_F(HttpClient, TransferToAClosedPortGivesLibcurlCode) {
    const std::string url = "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/";
    write_file("x.jpg", "jpeg");
    std::string response;
    EXPECT_EQ(CommonTools::http_get(url, response, 3), static_cast<unsigned>(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(CommonTools::upload_file(url.c_str(), "x.jpg", response), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(response, "");
}

// The one slow case of the suite: about a second.
TEST_F(HttpClient, SlowServerTimesOutWith28) {
    cloud.answer("GET", "/slow", {200, "late", MockAnswer::Kind::Slow});
    std::string response;
    EXPECT_EQ(CommonTools::http_get(cloud.url("/slow"), response, 1), static_cast<unsigned>(CURLE_OPERATION_TIMEDOUT));
    EXPECT_EQ(response, "");
}

TEST_F(HttpClient, DownloadWritesTheBodyIntoTheFile) {
    cloud.answer("GET", "/file", {200, std::string("bin\0ary", 7)});
    EXPECT_EQ(CommonTools::download_file(cloud.url("/file").c_str(), "got.bin"), 0);
    EXPECT_EQ(read_file("got.bin"), std::string("bin\0ary", 7));
}

TEST_F(HttpClient, DownloadIntoAMissingFolderFailsWithoutATransfer) {
    cloud.answer("GET", "/file", {200, "data"});
    EXPECT_EQ(CommonTools::download_file(cloud.url("/file").c_str(), "no-folder/got.bin"), -1);
    EXPECT_TRUE(cloud.seen().empty());
}

TEST_F(HttpClient, CutDownloadReturnsMinusOneAndKeepsThePart) {
    cloud.answer("GET", "/file", {200, "partial", MockAnswer::Kind::Cut});
    EXPECT_EQ(CommonTools::download_file(cloud.url("/file").c_str(), "got.bin"), -1);
    EXPECT_EQ(read_file("got.bin"), "partial");
}
