#pragma once
// Whether a database file may be opened at all: SQLite follows links and opens
// FIFOs like any file, so a planted one could carry the learned data out of
// the working folder or hang the caller in open().
#include <string>

// What keeps the store from writing through the entry at `path`, in words that
// follow its name: "" when it is missing or a regular file of one link; else
// "is a symbolic link, ...", "is a folder, not a file", "is not a regular
// file", "has 2 hard links (...)" or "cannot be examined (...)".
std::string db_entry_fault(const std::string& path);
// Why the database at `path` cannot be used for writing ("" when it can): it,
// or one of its side files ("-journal", "-wal", "-shm"), is a symbolic link,
// anything but a regular file, or a file with more than one hard link (its
// other name may lie outside the working folder); or the file cannot be read
// and written. A missing file or side file is fine: SQLite makes it. Every
// connection that writes is refused with this reason; the set-up page's
// db_file_problem (store/store_health.h) says the same from db_entry_fault.
std::string db_unusable_reason(const std::string& path);
// The same for reading only, where a link is harmless (a host's catalogue):
// the file and its side files, links followed, must be missing or regular.
std::string db_unreadable_reason(const std::string& path);
