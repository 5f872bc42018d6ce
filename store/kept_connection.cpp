#include "store/kept_connection.h"

#include "store/usable_file.h"

#include <sys/stat.h>

#include <exception>

namespace {

// The file at `path` itself (a symbolic link is not the file it names).
bool identify(const std::string& path, dev_t& device, ino_t& inode) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return false;
    device = status.st_dev;
    inode = status.st_ino;
    return true;
}

}  // namespace

KeptConnection::Lease::Lease(KeptConnection& kept, const std::string& path, int busy_ms)
    : kept_(kept), hold_(kept.mutex_), exceptions_(std::uncaught_exceptions()) {
    kept_.open_for(path, busy_ms);
}

// A connection left in a transaction or with a statement still reading
// would keep every other connection of the file waiting: it is closed.
KeptConnection::Lease::~Lease() {
    if (std::uncaught_exceptions() > exceptions_ || !kept_.db_ || !kept_.db_->isIdle()) kept_.close_locked();
}

void KeptConnection::open_for(const std::string& path, int busy_ms) {
    dev_t device = 0;
    ino_t inode = 0;
    const bool found = identify(path, device, inode);
    // A link or a FIFO planted beside the open file since (a side file is
    // opened again by SQLite at every write) is refused as at any opening.
    const std::string why = db_ && found ? db_unusable_reason(path) : std::string();
    if (!why.empty()) {
        close_locked();
        throw CppSQLite3Exception(SQLITE_CANTOPEN, (why + ": refused").c_str(), false);
    }
    if (db_ && found && path == path_ && device == device_ && inode == inode_) {
        db_->setBusyTimeout(busy_ms);
        return;
    }
    close_locked();
    auto db = std::make_unique<CppSQLite3DB>();
    db->open(path.c_str());
    db->setBusyTimeout(busy_ms);
    if (!on_open_.empty()) db->execQuery(on_open_.c_str());
    db_ = std::move(db);
    ++opened_;
    path_ = path;
    // SQLite made the file where it was missing: this is the one it has open.
    if (!found) {
        identify(path, device_, inode_);
    } else {
        device_ = device;
        inode_ = inode;
    }
}

// The connection's destructor closes it, or, with a statement still open,
// lets SQLite close it once that is finalised.
void KeptConnection::close_locked() noexcept { db_.reset(); }

void KeptConnection::close() noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    close_locked();
}
