#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

class Recognition : public FlowTest {};

TEST_F(Recognition, LearnedKindsAreRecognisedFromHeldBackPhotos) {
    stock_pic_data(distinct_kinds(), 5);
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 40);
    int found = 0, first = 0;
    for (const Kind& kind : distinct_kinds()) {
        auto codes = recognise(grocery("val", kind, 0));
        found += std::count(codes.begin(), codes.end(), kind.code) > 0;
        first += !codes.empty() && codes[0] == kind.code;
    }
    RecordProperty("found", found);
    RecordProperty("first", first);
    EXPECT_GE(found, 7) << "right code among the answers for " << found << " of 8 kinds";
    EXPECT_GE(first, 6) << "right code first for " << first << " of 8 kinds";
}

// Samples learned on the OpenCV engine (QX_ENGINE=opencv, the engine before
// XNNPACK) are recognised the same on XNNPACK's float32 plan: the same ranked
// codes for every held-back photo, so nothing has to be learned again.
TEST_F(Recognition, BothEnginesRankTheSameCodesFromTheSameLearnedSamples) {
    ASSERT_EQ(Close(), 0);
    setenv("QX_ENGINE", "opencv", 1);
    const int started = Init();
    unsetenv("QX_ENGINE");
    ASSERT_EQ(started, 0);
    stock_pic_data(distinct_kinds(), 3);
    ASSERT_EQ(LearnFromPicData(), 0);
    std::vector<std::vector<std::string>> reference;
    for (const Kind& kind : distinct_kinds())
        for (int n : {0, 1}) reference.push_back(recognise(grocery("val", kind, n)));
    ASSERT_EQ(Close(), 0);
    setenv("QX_ENGINE", "fp32", 1);
    const int again = Init();
    unsetenv("QX_ENGINE");
    ASSERT_EQ(again, 0);
    size_t at = 0;
    for (const Kind& kind : distinct_kinds())
        for (int n : {0, 1}) {
            EXPECT_EQ(recognise(grocery("val", kind, n)), reference[at]) << kind.folder << " " << n;
            EXPECT_FALSE(reference[at++].empty());
        }
}

TEST_F(Recognition, NothingLearnedStillGivesSessionAndRecord) {
    std::string session;
    auto codes = recognise(grocery("val", distinct_kinds()[0], 0), &session);
    EXPECT_TRUE(codes.empty());
    EXPECT_GE(session.size(), 20u);
    EXPECT_EQ(scalar("select count(*) from product_record where session_id = '" + session + "'"), 1);
}

TEST_F(Recognition, CodesTextNeverExceedsItsBuffer) {
    // Ten long codes: the ranked list stops before a code whose text would not fit.
    write_file("dev.ini", "[default]\nsearchK = 60\n");
    ASSERT_EQ(Init(), 0);
    std::vector<Kind> kinds = distinct_kinds();
    kinds.push_back({"", "Fruit/Apple/Granny-Smith"});
    kinds.push_back({"", "Fruit/Lemon"});
    for (size_t k = 0; k < kinds.size(); ++k) kinds[k].code = std::string(14, 'a' + k) + "9";
    stock_pic_data(kinds, 3);
    ASSERT_EQ(LearnFromPicData(), 0);
    char codes[QX_CODES_SIZE + 16];
    std::memset(codes, '#', sizeof codes);
    char session[QX_SESSION_SIZE];
    ASSERT_EQ(TestDetect(grocery("val", kinds[0], 0).c_str(), codes, session), 0);
    EXPECT_EQ(std::strlen(codes), 96u);  // six codes of 15 characters and their commas
    EXPECT_EQ(codes[QX_CODES_SIZE], '#');
}

TEST_F(Recognition, PictureFileFailures) {
    char codes[QX_CODES_SIZE] = "untouched";
    char session[QX_SESSION_SIZE] = "untouched";
    EXPECT_EQ(TestDetect("absent.jpg", codes, session), QX_ERR_NO_PICTURE);
    write_file("not-a-picture.jpg", "text");
    EXPECT_EQ(TestDetect("not-a-picture.jpg", codes, session), QX_ERR_NO_PICTURE);
    EXPECT_STREQ(codes, "untouched");
    EXPECT_STREQ(session, "untouched");
    EXPECT_EQ(TestDetect(grocery("val", distinct_kinds()[0], 0).c_str(), nullptr, session), QX_ERR_ARGUMENT);
    EXPECT_EQ(scalar("select count(*) from product_record"), 0);
}

TEST_F(Recognition, CropRectangleIsRequiredEvenForFiles) {
    // A rectangle without area clears the crop area; a start without a stored one has none.
    EXPECT_EQ(SaveScaleSetting(0, 0, 0, 0), QX_OK);
    ASSERT_EQ(std::remove("coordinate.json"), 0);
    ASSERT_EQ(Init(), 0);
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    EXPECT_EQ(TestDetect(grocery("val", distinct_kinds()[0], 0).c_str(), codes, session), QX_ERR_NO_CROP);
    EXPECT_EQ(AutoDetect(codes, session), QX_ERR_NO_CROP);
}

TEST_F(Recognition, CallsAfterCloseAreRefused) {
    Close();
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    EXPECT_EQ(TestDetect(grocery("val", distinct_kinds()[0], 0).c_str(), codes, session), QX_ERR_NOT_READY);
    EXPECT_EQ(AutoDetect(codes, session), QX_ERR_NOT_READY);
    EXPECT_EQ(SetFeedBack("1", "2", 0, ""), QX_ERR_NOT_READY);
    EXPECT_EQ(LearnFromPicData(), QX_ERR_NOT_READY);
}

// A NULL where a call needs a pointer is the caller's mistake, answered as such
// before anything is read, written or sent.
TEST_F(Recognition, NullPointersAreArgumentErrorsOfEveryCall) {
    char codes[QX_CODES_SIZE] = "untouched", session[QX_SESSION_SIZE] = "untouched", path[QX_PATH_SIZE] = "";
    const std::string photo = grocery("val", distinct_kinds()[0], 0);
    const struct {
        const char* call;
        std::function<int()> run;
    } cases[] = {
        {"TestDetect path", [&] { return TestDetect(nullptr, codes, session); }},
        {"TestDetect codes", [&] { return TestDetect(photo.c_str(), nullptr, session); }},
        {"TestDetect session", [&] { return TestDetect(photo.c_str(), codes, nullptr); }},
        {"AutoDetect", [&] { return AutoDetect(codes, nullptr); }},
        {"SetFeedBack code", [] { return SetFeedBack(nullptr, "1", 0, ""); }},
        {"SetFeedBack session", [] { return SetFeedBack("4001", nullptr, 0, ""); }},
        {"ExportData", [] { return ExportData(nullptr); }},
        {"ImportData", [] { return ImportData(nullptr); }},
        {"qx_ai_setnorecommend", [] { return qx_ai_setnorecommend(nullptr); }},
        {"findcode text", [&] { return findcode(nullptr, "", path); }},
        {"findcode out", [] { return findcode("1001", "", nullptr); }},
        {"findcode_n text", [&] { return findcode_n(nullptr, "", path, QX_PATH_SIZE); }},
    };
    for (const auto& c : cases) EXPECT_EQ(c.run(), QX_ERR_ARGUMENT) << c.call;
    EXPECT_STREQ(codes, "untouched");
    EXPECT_STREQ(session, "untouched");
    EXPECT_EQ(scalar("select count(*) from product_record"), 0);
    EXPECT_EQ(scalar("select count(*) from feed_back_record"), 0);
    EXPECT_FALSE(file_exists("data-copy"));
}
