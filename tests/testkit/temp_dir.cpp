#include "testkit/temp_dir.h"

#include "support/log.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

void TempDirTest::SetUp() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous_ = cwd;
    std::string pattern = (std::filesystem::temp_directory_path() / "qxtest-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    log_reopen();  // the day file of this test goes into this test's folder
}

void TempDirTest::TearDown() {
    log_reopen();
    if (!previous_.empty()) (void)chdir(previous_.c_str());
    std::error_code ec;
    if (!std::getenv("QX_KEEP_TEST_DIRS")) std::filesystem::remove_all(dir_, ec);
}

std::string shared_path(const std::string& relative) { return std::string(QX_SHARED_DIR) + "/" + relative; }

std::string test_data_path(const std::string& relative) { return std::string(QX_TEST_DATA_DIR) + "/" + relative; }
