#pragma once
// Whether the learned-data file can be served, in words a technician reads.
#include <string>

// Why the store file at `path` cannot be used: it is a folder, a symbolic link,
// no regular file or a file of several hard links; one of its side files
// ("-journal", "-wal", "-shm") is one of those, which the store will not write
// through (db_entry_fault); it cannot be
// read; it is no database, or a damaged one; another program holds it locked.
// "" when it can be used, and when there is none yet (the store makes one).
// Reads only; never logs.
std::string db_file_problem(const std::string& path);
