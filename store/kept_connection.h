#pragma once
// A connection to the store's file kept open from one call to the next, for
// the store's own threads (the matching thread, the record writer's): opening
// a connection reads the file's schema again, which costs a recognition more
// than the few rows it reads or writes.
//
// It follows the file, not the path: a store swap (folder learning, an import,
// clearing) renames a new file over featurexYz.db, and a connection opened
// before would go on reading and writing the replaced one. So each lease
// checks that the path still names the file the connection has open, and
// opens it again when not.
#include "store/CppSQLite3.h"

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

class KeptConnection {
public:
    // The connection for the holder's use, one holder at a time. A lease
    // ended by an exception closes the connection: the next opens it afresh.
    class Lease {
    public:
        Lease(KeptConnection& kept, const std::string& path, int busy_ms);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        CppSQLite3DB& db() { return *kept_.db_; }

    private:
        KeptConnection& kept_;
        std::unique_lock<std::mutex> hold_;
        int exceptions_;
    };

    // `on_open`: a statement run each time the connection is opened (a pragma
    // for this connection alone).
    explicit KeptConnection(std::string on_open = std::string()) : on_open_(std::move(on_open)) {}
    KeptConnection(const KeptConnection&) = delete;
    KeptConnection& operator=(const KeptConnection&) = delete;

    // Closes the connection (waiting for a lease in use); the next lease opens it.
    void close() noexcept;
    // How many times a connection was opened, for the tests.
    unsigned long opened() const { return opened_; }

private:
    void open_for(const std::string& path, int busy_ms);
    void close_locked() noexcept;

    const std::string on_open_;
    std::mutex mutex_;
    std::unique_ptr<CppSQLite3DB> db_;  // null while closed
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    unsigned long opened_ = 0;
};
