#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "history/history_events.h"
#include "history/sqlite_handle.h"

namespace history {

// The writing side of history.sqlite: one connection, WAL, the layout brought up to date. Only the store's
// writer thread (or a benchmark standing in for it) uses it. Every call throws sql::Error on failure.
class HistoryDatabase {
public:
    // Opens or creates `file`. While another program holds the file locked, waits until `giveUp` is set or
    // about 2 s have passed.
    HistoryDatabase(const std::filesystem::path& file, const std::atomic<bool>* giveUp = nullptr);
    ~HistoryDatabase();
    HistoryDatabase(const HistoryDatabase&) = delete;
    HistoryDatabase& operator=(const HistoryDatabase&) = delete;

    // Writes `items` in one transaction: rounds, fault lines, hourly sums, outages, alarm events, and the
    // monitor's own starts and stops.
    void Write(std::span<const HistoryItem> items);

    // Removes at most about `limit` rows that are too old, in one short transaction: raw rows older than 14
    // days (or keepDays if less), hours and ended outages older than keepDays. True when more may be left.
    bool RetainStep(TimePoint now, int keepDays, int limit = 4000);

private:
    struct Statements;
    std::int64_t HostId(const std::string& name, const std::string& url);
    void WriteRound(const RoundBatch& batch);
    void WriteEntry(const EntryRow& row, std::int64_t host);
    void WriteAlarm(const AlarmRow& row);
    void WriteMark(const MonitorMark& mark);
    void EndOutage(std::int64_t host, TimePoint when, const char* endedBy);

    sql::DatabasePtr m_db;
    const std::atomic<bool>* m_giveUp;
    std::unique_ptr<Statements> m_statements;
    std::map<std::pair<std::string, std::string>, std::int64_t> m_hosts;
    std::map<std::int64_t, std::int64_t> m_openOutages;  // host → outage
};

}  // namespace history
