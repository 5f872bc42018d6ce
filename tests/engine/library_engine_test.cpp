// The engine as the library context creates and releases it.
#include "qx_ai.h"

#include "api/context.h"
#include "engine_test_support.h"
#include "support/log.h"
#include "testkit/files.h"

#include <gmock/gmock.h>
#include <opencv2/core/ocl.hpp>

using ::testing::HasSubstr;

namespace {

class LibraryEngineTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        cv::ocl::setUseOpenCL(false);  // the same fall-back on every machine
    }
    void TearDown() override {
        Close();
        TempDirTest::TearDown();
    }
};

// A second Init without Close releases the first engine (the sanitizer run
// checks the leak) and the new one works.
TEST_F(LibraryEngineTest, EveryInitMakesAFreshEngineAndLogsTheResult) {
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(handle, nullptr);
    _CLSRETRI_OUTPUT_ output;
    EXPECT_EQ(CLSRETRI_Process({grocery_photo("train/Fruit/Banana/Banana_001.jpg")}, &output, handle), 0);
    EXPECT_EQ(output.cls[0].class_index, kBanana);
    logger->flush();
    const std::string log = read_file("tmp/" + list_dir("tmp").back());
    EXPECT_THAT(log, HasSubstr("初始化岚帆图像加速库成功"));
    EXPECT_THAT(log, HasSubstr("图形加速库初始化结果:0"));
}

TEST_F(LibraryEngineTest, CloseAndReleaseEmptyTheHandle) {
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Close(), 0);
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(qx_ai_qxrelease(), 0);
    EXPECT_EQ(handle, nullptr);
}

// dev.ini is read after the engine is made, so drive_ai counts from the next Init.
TEST_F(LibraryEngineTest, DriveAiTakesEffectAtTheNextInit) {
    write_file("dev.ini", "[default]\ndrive_ai = 1\n");
    testing::internal::CaptureStdout();
    ASSERT_EQ(Init(), 0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("use cpu!"));
    testing::internal::CaptureStdout();
    ASSERT_EQ(Init(), 0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("use gpu!"));
    int device = -1;
    EXPECT_EQ(CLSRETRI_GetInfo(handle, "running_device", &device), 0);
    EXPECT_EQ(device, CLSRETRI_DEVICE_CPU);  // no OpenCL here: fell back
}

}  // namespace
