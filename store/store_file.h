#pragma once
// Whole store files: a consistent copy of a live one, a copy brought in from
// elsewhere, and the check that a file brought in can be served.
#include <string>

// Copies the database at `from` into `to` through SQLite's backup, which reads
// under a shared lock: a recognition storing its record meanwhile cannot tear
// the copy. An empty file (no database yet) gives an empty copy. False on failure.
bool db_snapshot_file(const std::string& from, const std::string& to);
// Copies a regular file only into the existing file `to`: a FIFO would block
// for ever and a device like /dev/zero would fill the disk. False on failure.
bool db_copy_regular_file(const char* from, const std::string& to);
// Why the database file at `path` cannot be served as the feature store, or ""
// when it can.
std::string db_unusable_because(const std::string& path);
