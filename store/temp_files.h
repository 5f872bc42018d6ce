#pragma once
// The library's own temporary files in the working folder (import and export
// copies, a folder learning's new store): unpredictable names created
// exclusively, all under one prefix so start-up can tell the library's
// leftovers from anything else in the folder.
#include <string>

// Creates an empty file "<working folder>/.qxtmp-<purpose>-XXXXXX" (mode 0600);
// its path, or "" when it cannot be created.
std::string db_temp_file(const std::string& purpose);
// Removes the regular files with that prefix a killed run left behind, and the
// "<file>.part.<pid>" copies of earlier releases whose process is gone. Only for
// start-up: a temporary of a call in progress would go too.
void db_remove_stale_temp_files();
// Removes a database file's journal side files, which must never meet another
// file put in its place.
void db_remove_side_files(const std::string& db_path);
