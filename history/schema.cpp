#include "history/schema.h"

#include <algorithm>
#include <array>
#include <set>
#include <stdexcept>
#include <string>

#include "history/sqlite_handle.h"

namespace history {

namespace {

// Times are milliseconds since the epoch; hours are whole hours since the epoch. Names, URLs and lines are
// GBK, kept as BLOBs. Raw rows (rounds, faults, alarm events) are kept for 14 days, hours and outages longer.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE hosts(
    id INTEGER PRIMARY KEY,
    name BLOB NOT NULL,
    url BLOB NOT NULL,
    UNIQUE(name, url));
CREATE TABLE rounds(
    t INTEGER NOT NULL,
    host INTEGER NOT NULL,
    outcome INTEGER NOT NULL,
    query_us INTEGER NOT NULL,
    PRIMARY KEY(t, host)) WITHOUT ROWID;
CREATE TABLE faults(
    t INTEGER NOT NULL,
    host INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    category INTEGER NOT NULL,
    line BLOB NOT NULL,
    PRIMARY KEY(t, host, seq)) WITHOUT ROWID;
CREATE TABLE hours(
    hour INTEGER NOT NULL,
    host INTEGER NOT NULL,
    rounds INTEGER NOT NULL,
    normal INTEGER NOT NULL,
    query_us_sum INTEGER NOT NULL,
    query_us_max INTEGER NOT NULL,
    worst INTEGER NOT NULL,
    PRIMARY KEY(hour, host)) WITHOUT ROWID;
CREATE TABLE outages(
    id INTEGER PRIMARY KEY,
    host INTEGER NOT NULL,
    start INTEGER NOT NULL,
    end INTEGER,
    ended_by TEXT NOT NULL DEFAULT '',
    category INTEGER NOT NULL,
    categories INTEGER NOT NULL,
    first_line BLOB NOT NULL);
CREATE INDEX outages_by_start ON outages(start);
CREATE INDEX outages_by_end ON outages(end);
CREATE TABLE alarm_events(
    id INTEGER PRIMARY KEY,
    t INTEGER NOT NULL,
    kind TEXT NOT NULL,
    name BLOB,
    url BLOB,
    category INTEGER,
    sound INTEGER,
    sounding INTEGER,
    line BLOB);
CREATE INDEX alarm_events_by_t ON alarm_events(t);
)sql";

// The uptime table counts the outages of a range and their longest from this index alone, without a look at
// each row: a flapping fleet leaves a million outages in two weeks.
constexpr const char* kVersion2 = R"sql(
CREATE INDEX outages_by_start_host_end ON outages(start, host, end);
)sql";

// Step i brings version i to version i + 1.
constexpr std::array kSteps{kVersion1, kVersion2};

std::set<std::string> Tables(sqlite3* db) {
    std::set<std::string> names;
    sql::Statement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
    while (tables.Step()) names.insert(tables.Bytes(0));
    return names;
}

// The tables a file of `version` has, as the steps up to it made them.
std::set<std::string> TablesOfVersion(int version) {
    sql::DatabasePtr scratch = sql::Open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY);
    for (int step = 0; step < version; ++step)
        sql::Exec(scratch.get(), kSteps[static_cast<std::size_t>(step)]);
    return Tables(scratch.get());
}

bool Exists(const std::filesystem::path& file) {
    std::error_code error;
    return std::filesystem::exists(file, error);
}

std::filesystem::path WithSuffix(const std::filesystem::path& file, const char* suffix) {
    std::filesystem::path named = file;
    named += suffix;
    return named;
}

// A path as an SQLite URI's path: the characters a URI gives a meaning are escaped.
std::string UriPath(const std::filesystem::path& file) {
    std::string uri = "file:";
    std::error_code error;
    for (const char c : std::filesystem::absolute(file, error).string()) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char kHex[] = "0123456789ABCDEF";
            uri += '%';
            uri += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            uri += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
            uri += c;
        }
    }
    return uri;
}

}  // namespace

int SchemaVersion() {
    return static_cast<int>(kSteps.size());
}

int FileVersion(sqlite3* db) {
    sql::Statement version(db, "PRAGMA user_version");
    return version.Step() ? static_cast<int>(version.Int(0)) : 0;
}

Layout LayoutOf(sqlite3* db, int& version) {
    version = FileVersion(db);
    if (version < 0) return Layout::Foreign;
    const std::set<std::string> tables = Tables(db);
    if (version == 0) {
        sql::Statement any(db, "SELECT count(*) FROM sqlite_master");
        return any.Step() && any.Int(0) == 0 ? Layout::Empty : Layout::Foreign;
    }
    // Every table our own layout of that version made; a newer one is known by those of ours.
    const std::set<std::string> wanted = TablesOfVersion(std::min(version, SchemaVersion()));
    if (!std::includes(tables.begin(), tables.end(), wanted.begin(), wanted.end())) return Layout::Foreign;
    return version > SchemaVersion() ? Layout::Newer : Layout::Ours;
}

Layout LayoutOfFile(const std::filesystem::path& file, int& version) {
    version = 0;
    std::error_code error;
    // Without a -wal or a journal beside it the file alone is the database: read as immutable, SQLite takes
    // no lock and makes no -wal or -shm. With one, a writer may be at work: read it as any reader would, and
    // remove a -shm that this reading made.
    const bool wal = Exists(WithSuffix(file, "-wal"));
    if (!Exists(file) || (!wal && std::filesystem::file_size(file, error) == 0)) return Layout::Empty;
    const bool journal = Exists(WithSuffix(file, "-journal"));
    const std::filesystem::path shm = WithSuffix(file, "-shm");
    const bool hadShm = Exists(shm);
    const auto forgetShm = [&] {
        if (!hadShm) std::filesystem::remove(shm, error);
    };
    Layout layout = Layout::Empty;
    try {
        sql::DatabasePtr db = wal || journal
                                  ? sql::Open(file.string(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX)
                                  : sql::Open(UriPath(file) + "?immutable=1",
                                              SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI);
        sqlite3_busy_timeout(db.get(), 2000);
        layout = LayoutOf(db.get(), version);
    } catch (const sql::Error&) {
        forgetShm();
        throw;
    }
    if (layout != Layout::Ours && layout != Layout::Empty) forgetShm();
    return layout;
}

void Migrate(sqlite3* db) {
    int version = FileVersion(db);
    if (version > SchemaVersion())
        throw std::runtime_error("it was written by a newer Tessiv (layout " + std::to_string(version) + ")");
    for (; version < SchemaVersion(); ++version) {
        sql::Transaction step(db);
        sql::Exec(db, kSteps[static_cast<std::size_t>(version)]);
        sql::Exec(db, ("PRAGMA user_version = " + std::to_string(version + 1)).c_str());
        step.Commit();
    }
}

}  // namespace history
