#pragma once
// Whole store files: a consistent copy of a live one, a copy brought in from
// elsewhere, and the check that a file brought in can be served.
#include <cstddef>
#include <string>

class CppSQLite3DB;

// Copies the database at `from` into `to` through SQLite's backup, which reads
// under a shared lock: a recognition storing its record meanwhile cannot tear
// the copy. An empty file (no database yet) gives an empty copy. False on failure.
bool db_snapshot_file(const std::string& from, const std::string& to);
// Bytes of a database file's header that db_header_fault reads.
constexpr size_t kDbHeaderBytes = 100;
// The most an imported file and its side files may hold together: a full
// index of 55000 samples with 32-byte codes and the longest feature texts
// takes about 113 MB; the rest is room for the records it may carry.
constexpr unsigned long long kImportLimit = 256ull << 20;
// Why a file of `size` bytes whose first `length` bytes are `header` cannot be
// a store ("" when it can): SQLite's magic text, a page size SQLite has, a size
// of whole pages and, when `side_files` is false (they may still change it),
// the header's valid page count times the page size equal to the size. An
// empty file passes (SQLite's empty database).
std::string db_header_fault(const unsigned char* header, size_t length, unsigned long long size, bool side_files);
// Copies the file at `from` and its journal side files ("-wal", "-journal")
// into `to` (existing, empty) and new files beside it, so that the copy holds
// the transactions still in them. Before a byte is copied: each must be a
// regular file (a FIFO would block for ever, a device like /dev/zero fill the
// disk), all of them at most kImportLimit bytes, and the header must pass
// db_header_fault. "" when copied, else why not.
std::string db_copy_import(const char* from, const std::string& to);
// Makes the copy at `path` a store the library can serve for good, or says why
// it cannot ("" when it can): the transactions of its side files are put into
// it and it leaves WAL mode; it must pass SQLite's integrity check and, once
// migrated, have exactly the library's own tables (columns, types, constraints,
// indexes); its ids must leave room for every sample the store can come to
// hold, within the index's capacity and labels; every row must be live or
// withdrawn, and every live sample's code and feature ones the library can
// serve (store/import_rules.h). Free-slot rows naming anything but a withdrawn
// row are dropped.
std::string db_admit_import(const std::string& path);
// The checks and changes of db_admit_import after the side files, on an open
// database (a file, or a file's bytes in memory).
std::string db_admit_store(CppSQLite3DB& db);
