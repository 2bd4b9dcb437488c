#pragma once

#include <sqlite3.h>

#include <filesystem>

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

// What a database holds, as this build sees it.
enum class Layout {
    Empty,    // no table at all: a history yet to be made
    Ours,     // this build's layout or an older one of it, every table of that version in place
    Newer,    // a newer Tessiv's layout
    Foreign,  // another program's database
};

// Reads only. `version` gets the file's version.
Layout LayoutOf(sqlite3* db, int& version);

// The layout of `file` (Empty when there is none), read without writing anything: no lock, no journal, and
// no -wal or -shm file is left behind that was not there. Throws sql::Error when it cannot be read.
Layout LayoutOfFile(const std::filesystem::path& file, int& version);

}  // namespace history
