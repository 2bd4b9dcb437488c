#pragma once

#include <sqlite3.h>

// The history database's layout. Its version is the file's `PRAGMA user_version`; each step of the list
// brings a file from one version to the next, in a transaction of its own.
namespace history {

// The version this build writes and reads.
int SchemaVersion();

// Brings the open database up to SchemaVersion(). Throws sql::Error; a file newer than this build is refused
// (std::runtime_error) and left as it is.
void Migrate(sqlite3* db);

// The file's version; 0 for an empty file.
int FileVersion(sqlite3* db);

}  // namespace history
