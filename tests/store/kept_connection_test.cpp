// A connection kept between calls follows the file, not the path: after a
// store swap it reads and writes the new file, and it never keeps a lock that
// would hold other connections off.
#include "store/kept_connection.h"

#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

class KeptConnectionTest : public TempDirTest {};

void make_store(const std::string& path, const char* mark) {
    CppSQLite3DB db;
    db.open(path.c_str());
    db.execDML("create table mark (what text);");
    CppSQLite3Buffer sql;
    db.execDML(sql.format("insert into mark values (%Q);", mark));
}

std::string mark_of(KeptConnection& kept, const std::string& path) {
    KeptConnection::Lease lease(kept, path, 100);
    CppSQLite3Query query = lease.db().execQuery("select what from mark;");
    return query.eof() ? "" : query.getStringField(0, "");
}

TEST_F(KeptConnectionTest, FollowsAStoreSwapAndStaysOpenOtherwise) {
    const std::string path = "featurexYz.db";
    make_store(path, "first");
    KeptConnection kept;
    EXPECT_EQ(mark_of(kept, path), "first");
    EXPECT_EQ(mark_of(kept, path), "first");
    EXPECT_EQ(kept.opened(), 1u);

    // What folder learning and an import do: a new file renamed into place.
    make_store("new.db", "second");
    ASSERT_EQ(std::rename("new.db", path.c_str()), 0);
    EXPECT_EQ(mark_of(kept, path), "second");
    EXPECT_EQ(kept.opened(), 2u);

    // Rows another connection writes are seen without reopening.
    {
        CppSQLite3DB other;
        other.open(path.c_str());
        other.execDML("update mark set what = 'third';");
    }
    EXPECT_EQ(mark_of(kept, path), "third");
    EXPECT_EQ(kept.opened(), 2u);
    kept.close();
    EXPECT_EQ(mark_of(kept, path), "third");
    EXPECT_EQ(kept.opened(), 3u);
}

TEST_F(KeptConnectionTest, LeaseLeavingALockOrAnExceptionClosesTheConnection) {
    const std::string path = "featurexYz.db";
    make_store(path, "first");
    KeptConnection kept;
    EXPECT_THROW(
        {
            KeptConnection::Lease lease(kept, path, 100);
            lease.db().execQuery("select what from mark;");
            throw std::runtime_error("failed half-way");
        },
        std::runtime_error);
    EXPECT_EQ(mark_of(kept, path), "first");
    EXPECT_EQ(kept.opened(), 2u);

    // A transaction left open would hold every writer off: closing it rolls it back.
    {
        KeptConnection::Lease lease(kept, path, 100);
        lease.db().execDML("begin immediate;");
        lease.db().execDML("update mark set what = 'lost';");
    }
    CppSQLite3DB writer;
    writer.open(path.c_str());
    writer.setBusyTimeout(0);
    EXPECT_NO_THROW(writer.execDML("update mark set what = 'written';"));
    EXPECT_EQ(mark_of(kept, path), "written");
    EXPECT_EQ(kept.opened(), 3u);
}

// The checks of an opening hold for a kept connection too: a hard link made
// to the journal while it was open (its other name could lie anywhere) stops
// the next lease, and the connection opens again once it is gone.
TEST_F(KeptConnectionTest, RefusesASideFilePlantedWhileOpen) {
    const std::string path = "featurexYz.db";
    make_store(path, "first");
    KeptConnection kept("pragma journal_mode = persist;");
    {
        KeptConnection::Lease lease(kept, path, 100);
        lease.db().execDML("update mark set what = 'kept';");
    }
    ASSERT_EQ(link((path + "-journal").c_str(), "elsewhere"), 0);
    EXPECT_THROW(mark_of(kept, path), CppSQLite3Exception);
    ASSERT_EQ(unlink("elsewhere"), 0);
    EXPECT_EQ(mark_of(kept, path), "kept");
    EXPECT_EQ(kept.opened(), 2u);
}

}  // namespace
