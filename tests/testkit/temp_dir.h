#pragma once
// Every test runs in a fresh temporary working directory, never in the source
// tree: the library keeps all its files relative to the working directory.
#include <gtest/gtest.h>

#include <string>

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Absolute path of the test's working directory, with no trailing "/".
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::string previous_;
};

// The workplace's data folder (models, grocery photos).
std::string shared_path(const std::string& relative);
// A file committed under tests/data.
std::string test_data_path(const std::string& relative);
