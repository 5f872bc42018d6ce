// What the set-up page says about a learned-data file it cannot use.
#include "store/store_health.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

namespace fs = std::filesystem;

class StoreHealth : public TempDirTest {};

TEST_F(StoreHealth, NamesWhyAFileCannotBeUsed) {
    struct Case {
        const char* name;
        std::function<void()> make;
        std::string expected;  // a part of the answer; "" for none at all
    } cases[] = {
        {"none yet", [] {}, ""},
        {"a store", [] { db_prepare_file("featurexYz.db"); }, ""},
        {"a folder", [] { fs::create_directory("featurexYz.db"); }, "it is a folder, not a file"},
        {"a link", [] { db_prepare_file("real.db"); fs::create_symlink("real.db", "featurexYz.db"); }, "is a symbolic link"},
        {"a linked journal",
         [] { db_prepare_file("featurexYz.db"); fs::create_symlink("/tmp/elsewhere", "featurexYz.db-journal"); },
         "its side file featurexYz.db-journal is a symbolic link"},
        {"a folder as its log", [] { db_prepare_file("featurexYz.db"); fs::create_directory("featurexYz.db-wal"); },
         "its side file featurexYz.db-wal is a folder"},
        {"a FIFO", [] { ASSERT_EQ(mkfifo("featurexYz.db", 0600), 0); }, "is not a regular file"},
        {"a hard link", [] { db_prepare_file("featurexYz.db"); fs::create_hard_link("featurexYz.db", "other.db"); },
         "it has 2 hard links"},
        {"no database", [] { write_file("featurexYz.db", std::string(4096, 'x')); }, "not a database"},
    };
    for (const Case& c : cases) {
        fs::remove_all("featurexYz.db");
        for (const char* side : {"featurexYz.db-journal", "featurexYz.db-wal"}) fs::remove_all(side);
        c.make();
        const std::string problem = db_file_problem("featurexYz.db");
        if (c.expected.empty())
            EXPECT_EQ(problem, "") << c.name;
        else
            EXPECT_NE(problem.find(c.expected), std::string::npos) << c.name << ": " << problem;
    }
}

// Another program's exclusive transaction holds the file: said, and said no more once it ends.
TEST_F(StoreHealth, AFileHeldLockedIsSaidSoUntilReleased) {
    db_prepare_file("featurexYz.db");
    {
        CppSQLite3DB other;
        other.open("featurexYz.db");
        other.execDML("begin exclusive;");
        other.execDML("insert into record_count(count) values (2);");
        EXPECT_EQ(db_file_problem("featurexYz.db"), "another program holds it locked");
        other.execDML("commit;");
    }
    EXPECT_EQ(db_file_problem("featurexYz.db"), "");
}
