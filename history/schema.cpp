#include "history/schema.h"

#include <array>
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

// Step i brings version i to version i + 1.
constexpr std::array kSteps{kVersion1};

}  // namespace

int SchemaVersion() {
    return static_cast<int>(kSteps.size());
}

int FileVersion(sqlite3* db) {
    sql::Statement version(db, "PRAGMA user_version");
    return version.Step() ? static_cast<int>(version.Int(0)) : 0;
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
