// The engine as the library context creates and releases it.
#include "qx_ai.h"

#include "api/context.h"
#include "engine_test_support.h"
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
    std::string day_log() {
        const std::vector<std::string> files = list_dir("tmp");
        return files.empty() ? std::string() : read_file("tmp/" + files.back());
    }
    int running_device() {
        int device = -1;
        EXPECT_EQ(CLSRETRI_GetInfo(handle, "running_device", &device), 0);
        return device;
    }
};

TEST_F(LibraryEngineTest, InitCreatesTheEngineAndLogsTheResult) {
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(running_device(), CLSRETRI_DEVICE_CPU);
    const std::string log = day_log();
    EXPECT_THAT(log, HasSubstr("初始化岚帆图像加速库成功"));
    EXPECT_THAT(log, HasSubstr("图形加速库初始化结果:0"));
}

TEST_F(LibraryEngineTest, CloseAndReleaseEmptyTheHandle) {
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Close(), 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(qx_ai_qxrelease(), 0);
    EXPECT_EQ(handle, nullptr);
}

// The first engine is released, not leaked (the sanitizer run checks the leak).
TEST_F(LibraryEngineTest, SecondInitWithoutCloseReplacesTheEngine) {
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(handle, nullptr);
    _CLSRETRI_OUTPUT_ output;
    EXPECT_EQ(CLSRETRI_Process({grocery_photo("train/Fruit/Banana/Banana_001.jpg")}, &output, handle), 0);
    EXPECT_EQ(output.cls[0].class_index, kBanana);
}

// dev.ini is read after the engine is made, so drive_ai counts from the next Init.
TEST_F(LibraryEngineTest, DriveAiTakesEffectAtTheNextInit) {
    write_file("dev.ini", "[default]\ndrive_ai = 1\n");
    testing::internal::CaptureStdout();
    ASSERT_EQ(Init(), 0);
    const std::string first = testing::internal::GetCapturedStdout();
    EXPECT_THAT(first, HasSubstr("use cpu!"));
    EXPECT_THAT(first, ::testing::Not(HasSubstr("use gpu!")));
    testing::internal::CaptureStdout();
    ASSERT_EQ(Init(), 0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("use gpu!"));
    EXPECT_EQ(running_device(), CLSRETRI_DEVICE_CPU);  // no OpenCL here: fell back
}

}  // namespace
