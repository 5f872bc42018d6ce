#pragma once
// Whole store files: a consistent copy of a live one, a copy brought in from
// elsewhere, and the check that a file brought in can be served.
#include <string>

class CppSQLite3DB;

// Copies the database at `from` into `to` through SQLite's backup, which reads
// under a shared lock: a recognition storing its record meanwhile cannot tear
// the copy. An empty file (no database yet) gives an empty copy. False on failure.
bool db_snapshot_file(const std::string& from, const std::string& to);
// Copies a regular file only into the existing file `to`: a FIFO would block
// for ever and a device like /dev/zero would fill the disk. False on failure.
bool db_copy_regular_file(const char* from, const std::string& to);
// Copies the journal side files of the database at `from` ("-wal", "-journal")
// beside the copy `to`, so the copy holds the transactions still in them. True
// when there are none; false when one is no regular file or cannot be copied.
bool db_copy_side_files(const char* from, const std::string& to);
// Makes the copy at `path` a store the library can serve for good, or says why
// it cannot ("" when it can): the transactions of its side files are put into
// it and it leaves WAL mode; it must pass SQLite's integrity check and, once
// migrated, have exactly the library's own tables (columns, types, constraints,
// indexes); its ids must leave room for every sample the store can come to
// hold, within the index's capacity and labels. Free-slot rows naming anything
// but a withdrawn row are dropped.
std::string db_admit_import(const std::string& path);
// The checks and changes of db_admit_import after the side files, on an open
// database (a file, or a file's bytes in memory).
std::string db_admit_store(CppSQLite3DB& db);
