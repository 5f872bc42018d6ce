#include "flows_fixture.h"

#include "qx_ai.h"

#include "../camera/camera_kit.h"
#include "../cloud/mock_cloud.h"
#include "api/context.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kUpload = "/T01/newretail/api/dfs/upload";
const char* const kReport = "/T01/newretail/api/search/product/saveImageIdentify";

}  // namespace

// A library bound to tenant T01 of a mock cloud, with two kinds learned.
class Feedback : public FlowTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        cloud.answer("POST", kUpload, {200, R"({"code":0,"data":{"url":"http://files/p.jpg"}})"});
        cloud.answer("POST", kReport, {200, R"({"code":0})"});
        start_with_cloud(cloud.port());
        stock_pic_data({distinct_kinds()[0], distinct_kinds()[1]}, 2);
        ASSERT_EQ(LearnFromPicData(), 0);
    }
    void start_with_cloud(int port, bool save_image = true) {
        write_file("dev.ini", "[default]\ndev = http://t\ncloudHost = localhost:" + std::to_string(port) +
                                  "\nsaveImage = " + (save_image ? "1" : "0") + "\n");
        write_file("tenant.json", R"({"demo":"T01"})");
        ASSERT_EQ(Init(), 0);
        ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    }
    long long samples(const std::string& code) {
        return scalar("select count(*) from feature_code where code = '" + code + "'");
    }
    // Four tray frames showing the first val photo of `kind`.
    static std::vector<cv::Mat> tray_frames_of(const Kind& kind) {
        const std::string photo =
            "data/grocery/val/" + kind.folder + "/" + fs::path(grocery("val", kind, 0)).filename().string();
        return std::vector<cv::Mat>(4, tray_frame(photo));
    }
    MockCloud cloud;
};

TEST_F(Feedback, MissIsLearnedFiledUploadedAndReported) {
    const Kind& kiwi = distinct_kinds()[3];
    std::string session;
    auto offered = recognise(grocery("val", kiwi, 0), &session);
    ASSERT_EQ(SetFeedBack("4004", session.c_str(), 0, "Kiwi 猕猴桃"), 0);

    EXPECT_EQ(samples("4004"), 1);
    EXPECT_EQ(index_size(), 5);
    EXPECT_EQ(list_dir("pic_data/4004").size(), 1u);
    EXPECT_EQ(scalar("select count(*) from feed_back_record where code = '4004' and hit = 0"), 1);

    auto uploads = cloud.seen("POST", kUpload);
    ASSERT_EQ(uploads.size(), 1u);
    ASSERT_EQ(uploads[0].parts.size(), 2u);
    EXPECT_EQ(uploads[0].parts[1].filename, "hello.jpg");
    EXPECT_EQ(uploads[0].parts[1].content, read_file(grocery("val", kiwi, 0)));

    auto reports = cloud.seen("POST", kReport);
    ASSERT_EQ(reports.size(), 1u);
    rapidjson::Document report;
    report.Parse(reports[0].body.c_str());
    ASSERT_TRUE(report.IsObject()) << reports[0].body;
    std::vector<std::string> members;
    for (const auto& member : report.GetObject()) members.push_back(member.name.GetString());
    EXPECT_EQ(members, (std::vector<std::string>{"recommendTime", "productCode", "productName", "weightingStartTime",
                                                 "sessionId", "weighImageUrl", "aiType", "topNo", "identifyCode"}));
    EXPECT_STREQ(report["productName"].GetString(), "Kiwi 猕猴桃");
    EXPECT_STREQ(report["sessionId"].GetString(), session.c_str());
    EXPECT_STREQ(report["weighImageUrl"].GetString(), "http://files/p.jpg");
    EXPECT_EQ(report["topNo"].GetInt(), -1);
    EXPECT_EQ(reports[0].body.find(" "), reports[0].body.find("Kiwi 猕猴桃") + 4);  // compact
    EXPECT_NE(reports[0].body.find(R"("identifyCode":{"code":"0","accuracy":0.0})"), std::string::npos)
        << reports[0].body;

    // The learned sample now answers for the next kiwi.
    auto again = recognise(grocery("val", kiwi, 0));
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0], "4004");
}

TEST_F(Feedback, ClearFirstHitTeachesNothingButIsReported) {
    const Kind& banana = distinct_kinds()[0];
    fs::remove_all("pic_data");
    stock_pic_data({banana}, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    std::string session;
    auto offered = recognise(grocery("val", banana, 0), &session);
    ASSERT_EQ(offered.size(), 1u) << "only bananas learned";
    ASSERT_EQ(SetFeedBack("4001", session.c_str(), 1, "Banana"), 0);
    EXPECT_EQ(samples("4001"), 2);
    EXPECT_FALSE(fs::exists("pic_data/4001"));
    auto reports = cloud.seen("POST", kReport);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].body.find(R"("topNo":1)"), std::string::npos);
}

TEST_F(Feedback, HitAmongSeveralCandidatesIsLearned) {
    std::string session;
    auto offered = recognise(grocery("val", distinct_kinds()[5], 0), &session);  // leek: not learned
    ASSERT_GE(offered.size(), 2u);
    ASSERT_EQ(SetFeedBack(offered[1].c_str(), session.c_str(), 1, ""), 0);
    EXPECT_EQ(samples(offered[1]), 3);
}

TEST_F(Feedback, UnknownSessionStillLeavesTheFeedbackRow) {
    EXPECT_EQ(SetFeedBack("4001", "2026127999999", 0, ""), QX_ERR_NO_RECOGNITION);
    EXPECT_EQ(scalar("select count(*) from feed_back_record where session_id = '2026127999999'"), 1);
    EXPECT_TRUE(cloud.seen().empty());
}

TEST_F(Feedback, MissingRecognitionTableIsReported) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open("featurexYz.db", &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "drop table product_record", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(SetFeedBack("4001", "1", 0, ""), QX_ERR_RECORDS);
}

// Only a failed transfer switches the cloud off, whether nothing listens or the
// server cuts the upload; the samples are learned all the same.
TEST_F(Feedback, FailedTransferSwitchesTheCloudOffButKeepsTheSample) {
    for (bool server_cuts : {false, true}) {
        SCOPED_TRACE(server_cuts ? "server cuts the upload" : "port closed");
        if (server_cuts) {
            cloud.answer("POST", kUpload, {200, R"({"code":0,"data":{"url":"http://f/p.jpg"}})", MockAnswer::Kind::Cut});
            start_with_cloud(cloud.port());
        } else {
            start_with_cloud(closed_loopback_port());
        }
        const long long learned = samples("4004");
        std::string first, second;
        recognise(grocery("val", distinct_kinds()[3], 0), &first);
        recognise(grocery("val", distinct_kinds()[3], 1), &second);
        EXPECT_EQ(SetFeedBack("4004", first.c_str(), 0, ""), 0);
        EXPECT_FALSE(params->cloud_online);
        EXPECT_EQ(SetFeedBack("4004", second.c_str(), 0, ""), 0);
        EXPECT_EQ(samples("4004"), learned + 2);
        EXPECT_EQ(cloud.seen("POST", kUpload).size(), server_cuts ? 1u : 0u);
        EXPECT_TRUE(cloud.seen("POST", kReport).empty());
    }
    EXPECT_EQ(list_dir("pic_data/4004").size(), 4u);
}

TEST_F(Feedback, UploadAnswerWithoutUrlSendsNoReport) {
    cloud.answer("POST", kUpload, {200, R"({"code":0,"data":{}})"});
    std::string session;
    recognise(grocery("val", distinct_kinds()[3], 0), &session);
    EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
    EXPECT_TRUE(cloud.seen("POST", kReport).empty());
    EXPECT_TRUE(params->cloud_online);
    cloud.answer("POST", kUpload, {500, "busy"});
    recognise(grocery("val", distinct_kinds()[3], 1), &session);
    EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
    EXPECT_TRUE(cloud.seen("POST", kReport).empty());
}

TEST_F(Feedback, CameraRecognitionConfirmedFromTheTray) {
    CameraSource source(write_sequence("frames", tray_frames_of(distinct_kinds()[3])));
    ASSERT_EQ(SetCameraId(0), 0);
    char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
    ASSERT_EQ(AutoDetect(codes, session), 0);
    ASSERT_EQ(SetFeedBack("4004", session, 0, "Kiwi"), 0);
    EXPECT_EQ(samples("4004"), 1);
    ASSERT_EQ(list_dir("pic_data/4004").size(), 1u);
    EXPECT_EQ(cloud.seen("POST", kUpload).size(), 1u);
    std::string report = cloud.seen("POST", kReport).at(0).body;
    EXPECT_NE(report.find(R"("identifyCode":{"code":"0","accuracy":0.0})"), std::string::npos) << report;
    ASSERT_EQ(AutoDetect(codes, session), 0);
    EXPECT_EQ(std::string(codes).substr(0, 5), "4004,");
}

// Two recognitions within one second once shared one tray picture, so the
// first one's feedback filed and uploaded the second one's.
TEST_F(Feedback, EachRecognitionKeepsItsOwnTrayPicture) {
    const Kind& kiwi = distinct_kinds()[3];
    const Kind& banana = distinct_kinds()[0];
    char codes[QX_CODES_SIZE] = "", first[QX_SESSION_SIZE] = "", second[QX_SESSION_SIZE] = "";
    const std::string kiwis = write_sequence("kiwi", tray_frames_of(kiwi));
    const std::string bananas = write_sequence("banana", tray_frames_of(banana));
    // Both recognitions within one clock second, where the names once collided.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::time_t start = std::time(nullptr);
        while (std::time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::time_t second_of_first = std::time(nullptr);
        {
            CameraSource source(kiwis);
            ASSERT_EQ(qx_ai_reopencamera(0), 0);
            ASSERT_EQ(AutoDetect(codes, first), 0);
        }
        CameraSource source(bananas);
        ASSERT_EQ(qx_ai_reopencamera(0), 0);
        ASSERT_EQ(AutoDetect(codes, second), 0);
        if (std::time(nullptr) == second_of_first) break;
    }
    EXPECT_EQ(scalar("select count(distinct image_path) from product_record"),
              scalar("select count(*) from product_record"));

    ASSERT_EQ(SetFeedBack("4004", first, 0, "Kiwi"), 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open("featurexYz.db", &db), SQLITE_OK);
    auto picture_of = [db](const char* session) {
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, "select image_path from product_record where session_id = ?", -1, &query, nullptr);
        sqlite3_bind_text(query, 1, session, -1, SQLITE_TRANSIENT);
        std::string path;
        if (sqlite3_step(query) == SQLITE_ROW) path = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
        sqlite3_finalize(query);
        return path;
    };
    const std::string mine = read_file(picture_of(first)), other = read_file(picture_of(second));
    sqlite3_close(db);
    ASSERT_FALSE(mine.empty());
    EXPECT_NE(mine, other);
    ASSERT_EQ(cloud.seen("POST", kUpload).size(), 1u);
    EXPECT_EQ(cloud.seen("POST", kUpload)[0].parts.at(1).content, mine);
}

// Ten photos a technician put in pic_data/4004 (the folder folder learning
// reads) counted as filed pictures: three confirmations deleted a.jpg, and of
// the filed pictures only the newest was left.
TEST_F(Feedback, PictureStorePrunesOnlyItsOwnPictures) {
    std::vector<std::string> photos;
    for (char name = 'a'; name < 'a' + 10; ++name) {
        photos.push_back(std::string(1, name) + ".jpg");
        write_file("pic_data/4004/" + photos.back(), "the technician's");
    }
    for (int shot = 0; shot < 3; ++shot) {
        std::string session;
        recognise(grocery("val", distinct_kinds()[3], shot), &session);
        EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
    }
    EXPECT_EQ(list_dir("pic_data/4004").size(), photos.size() + 3);
    for (const std::string& photo : photos) EXPECT_EQ(read_file("pic_data/4004/" + photo), "the technician's");
}

// pic_data/<code> planted as a link once had the feedback delete a picture
// outside pic_data and write one there.
TEST_F(Feedback, LinkedProductFolderIsRefused) {
    for (int n = 0; n < 10; ++n) write_file("elsewhere/" + std::to_string(n) + ".jpg", "the host's");
    ASSERT_EQ(symlink((dir() + "/elsewhere").c_str(), "pic_data/4004"), 0);
    std::string session;
    recognise(grocery("val", distinct_kinds()[3], 0), &session);
    EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
    EXPECT_EQ(samples("4004"), 1);
    EXPECT_EQ(list_dir("elsewhere").size(), 10u);
    EXPECT_EQ(read_file("elsewhere/0.jpg"), "the host's");
}

// The upload keeps its 3 s limit, and an answer too deep or too large is no
// answer: none of them may lead to a report, stall the till or crash it.
TEST_F(Feedback, UploadAnswerTooLateDeepOrHugeSendsNoReport) {
    const std::string with_url = R"({"code":0,"data":{"url":"http://files/p.jpg"},"pad":")";
    struct Case {
        const char* what;
        MockAnswer answer;
        bool stays_online;
    } const cases[] = {
        {"late", {200, with_url + "\"}", MockAnswer::Kind::Slow}, false},
        {"deep", {200, std::string(250000, '[')}, true},
        {"huge", {200, with_url + std::string(1 << 20, 'x') + "\"}"}, false},
    };
    int shot = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cloud.answer("POST", kUpload, c.answer);
        params->cloud_online = true;
        std::string session;
        recognise(grocery("val", distinct_kinds()[3], shot++), &session);
        EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
        EXPECT_EQ(params->cloud_online, c.stays_online);
        EXPECT_TRUE(cloud.seen("POST", kReport).empty());
    }
}

// A recognition without a kept picture skips its upload and report and leaves
// the cloud on.

TEST_F(Feedback, RecognitionWithoutPictureSkipsTheUploadAndKeepsTheCloudOn) {
    start_with_cloud(cloud.port(), false);
    const Kind& kiwi = distinct_kinds()[3];
    CameraSource source(write_sequence("frames", tray_frames_of(kiwi)));
    ASSERT_EQ(SetCameraId(0), 0);
    char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
    ASSERT_EQ(AutoDetect(codes, session), 0);
    ASSERT_EQ(SetFeedBack("4004", session, 0, "Kiwi"), 0);
    EXPECT_EQ(samples("4004"), 1);
    EXPECT_TRUE(params->cloud_online);
    EXPECT_TRUE(cloud.seen().empty());

    std::string later;
    recognise(grocery("val", kiwi, 1), &later);  // a picture file this time
    ASSERT_EQ(SetFeedBack("4004", later.c_str(), 0, "Kiwi"), 0);
    EXPECT_EQ(cloud.seen("POST", kUpload).size(), 1u);
    EXPECT_EQ(cloud.seen("POST", kReport).size(), 1u);
}

TEST_F(Feedback, EmptyCodeOrNonFiniteFeatureTeachesNothing) {
    std::string session;
    recognise(grocery("val", distinct_kinds()[3], 0), &session);
    EXPECT_EQ(SetFeedBack("", session.c_str(), 0, ""), QX_ERR_ARGUMENT);
    EXPECT_EQ(samples(""), 0);

    std::string nan_text;
    for (int i = 0; i < 160; ++i) nan_text += "nan,";
    settle_records();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open("featurexYz.db", &db), SQLITE_OK);
    const std::string insert =
        "insert into product_record(session_id, model_code, score, feature_value, image_path, product_ids, "
        "real_codes, time) values ('7', 0, 0, '" + nan_text + "', '', '4001,', '4001,', '1')";
    ASSERT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(SetFeedBack("4004", "7", 0, ""), QX_ERR_DETECT_FAILED);
    EXPECT_EQ(samples("4004"), 0);
    EXPECT_EQ(index_size(), 4);
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[0], 0)).at(0), "4001");
}

// Codes that break the code list were once learned: "5,6,7" came back as three
// codes, and a code of 99 bytes blanked every list it was nearest to. Each is
// refused before anything is stored; the longest code the rule allows is learned.
TEST_F(Feedback, CodesThatBreakTheCodeListAreRefused) {
    std::string session;
    recognise(grocery("val", distinct_kinds()[3], 0), &session);
    const std::string longest(QX_CODE_MAX, '7');
    for (const std::string& bad : {longest + "7", std::string(99, '9'), std::string("5,6,7"), std::string("40\t04"),
                                   std::string("4004\n"), std::string("\x7f"), std::string("0")}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(SetFeedBack(bad.c_str(), session.c_str(), 0, ""), QX_ERR_ARGUMENT);
        EXPECT_EQ(samples(bad), 0);
    }
    EXPECT_EQ(scalar("select count(*) from feed_back_record"), 0);
    EXPECT_EQ(index_size(), 4);
    EXPECT_EQ(SetFeedBack(longest.c_str(), session.c_str(), 0, "苹果"), 0);
    EXPECT_EQ(samples(longest), 1);
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[3], 0)).at(0), longest);
}

// A store of an older release may still hold a code too long for the answer:
// the other codes near the picture are still answered, not none at all.
TEST_F(Feedback, ACodeTooLongForTheAnswerLeavesTheOthersListed) {
    const std::string picture = grocery("val", distinct_kinds()[3], 0);
    std::string session;
    const std::vector<std::string> before = recognise(picture, &session);
    ASSERT_EQ(before.size(), 2u);
    settle_records();
    // The picture's own feature under the long code: it ranks first.
    ASSERT_TRUE(exec_sql("featurexYz.db", "insert into feature_code(code, feature, update_time, deleted) select '" +
                                              std::string(99, '9') + "', feature_value, CURRENT_TIMESTAMP, 0 " +
                                              "from product_record where session_id = '" + session + "';"));
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    ASSERT_EQ(index_size(), 5);
    EXPECT_EQ(recognise(picture), before);
}

// The recognition's picture replaced by a FIFO once held the
// feedback in open() for ever: the sample is learned, the picture neither
// filed nor uploaded.
TEST_F(Feedback, PictureReplacedByAFifoIsNotWaitedFor) {
    // A copy in the working folder: the record names the very file recognised.
    fs::copy_file(grocery("val", distinct_kinds()[3], 0), "tray.jpg");
    std::string session;
    recognise(dir() + "/tray.jpg", &session);
    settle_records();
    const std::string picture = text("select image_path from product_record where session_id = '" + session + "'");
    ASSERT_EQ(picture, dir() + "/tray.jpg");
    ASSERT_EQ(std::remove(picture.c_str()), 0);
    ASSERT_EQ(mkfifo(picture.c_str(), 0600), 0);
    int result = -1;
    EXPECT_TRUE(returns_in_time([&] { result = SetFeedBack("4004", session.c_str(), 0, ""); }, {picture}));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(samples("4004"), 1);
    EXPECT_FALSE(fs::exists("pic_data/4004"));
    EXPECT_TRUE(cloud.seen("POST", kUpload).empty());
}
