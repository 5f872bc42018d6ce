#include "api/context.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

class DeleteFileTest : public TempDirTest {};

TEST_F(DeleteFileTest, MissingPathAndPlainFile) {
    EXPECT_EQ(DeleteFile("absent"), 0);
    write_file("a.txt", "x");
    EXPECT_EQ(DeleteFile("a.txt"), 0);
    EXPECT_FALSE(file_exists("a.txt"));
}

TEST_F(DeleteFileTest, NestedTreeLeavesTopFolderEmpty) {
    write_file("top/a.jpg", "x");
    write_file("top/sub/b.jpg", "x");
    write_file("top/sub/deeper/c.jpg", "x");
    EXPECT_EQ(DeleteFile("top"), 0);
    EXPECT_TRUE(file_exists("top"));
    EXPECT_TRUE(list_dir("top").empty());
}

TEST_F(DeleteFileTest, SymbolicLinksAreNeverFollowed) {
    write_file("outside/keep.jpg", "precious");
    write_file("top/a.jpg", "x");
    ASSERT_EQ(symlink((dir() + "/outside").c_str(), "top/link"), 0);
    ASSERT_EQ(symlink((dir() + "/outside").c_str(), "linked_top"), 0);
    EXPECT_EQ(DeleteFile("top"), 0);
    EXPECT_EQ(DeleteFile("linked_top"), 0);
    EXPECT_EQ(read_file("outside/keep.jpg"), "precious");
    EXPECT_FALSE(file_exists("top/a.jpg"));
}
