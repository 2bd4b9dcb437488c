#include "history/history_database.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "history/outcome_codes.h"
#include "history/schema.h"

namespace history {

namespace {

// Another program's lock is waited for in short sleeps, so that a store told to end is not held up by it.
int WaitWhileBusy(void* context, int tries) {
    const auto* giveUp = static_cast<const std::atomic<bool>*>(context);
    if (tries >= 200 || (giveUp != nullptr && giveUp->load())) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 1;
}

Outcome RowOutcome(const EntryRow& row) {
    if (!row.normal) return Outcome::BrokeOff;
    if (*row.normal) return Outcome::Normal;
    return row.faults.empty() ? Outcome::Unclassified : OutcomeOf(row.faults.front().category);
}

std::int64_t CategoryMask(const EntryRow& row) {
    std::int64_t mask = 0;
    for (const EntryResult::Fault& fault : row.faults)
        mask |= std::int64_t{1} << OutcomeCode(OutcomeOf(fault.category));
    return mask != 0 ? mask : std::int64_t{1} << OutcomeCode(Outcome::Unclassified);
}

// Opens the file for writing only once it is known to be ours, or to hold nothing yet: another program's
// database or a newer Tessiv's is left exactly as it is.
sql::DatabasePtr OpenOwn(const std::filesystem::path& file) {
    int version = 0;
    switch (LayoutOfFile(file, version)) {
        case Layout::Newer:
            throw std::runtime_error("it was written by a newer Tessiv (layout " + std::to_string(version) +
                                     ")");
        case Layout::Foreign:
            throw std::runtime_error("it is another program's database");
        case Layout::Empty:
        case Layout::Ours:
            break;
    }
    return sql::Open(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX);
}

}  // namespace

struct HistoryDatabase::Statements {
    explicit Statements(sqlite3* db)
        : findHost(db, "SELECT id FROM hosts WHERE name = ?1 AND url = ?2"),
          addHost(db, "INSERT INTO hosts(name, url) VALUES(?1, ?2)"),
          addRound(db, "INSERT OR REPLACE INTO rounds(t, host, outcome, query_us) VALUES(?1, ?2, ?3, ?4)"),
          addFault(db,
                   "INSERT OR REPLACE INTO faults(t, host, seq, category, line) VALUES(?1, ?2, ?3, ?4, ?5)"),
          addHour(
              db,
              "INSERT INTO hours(hour, host, rounds, normal, query_us_sum, query_us_max, worst) "
              "VALUES(?1, ?2, 1, ?3, ?4, ?4, ?5) ON CONFLICT(hour, host) DO UPDATE SET "
              "rounds = rounds + 1, normal = normal + excluded.normal, "
              "query_us_sum = query_us_sum + excluded.query_us_sum, "
              "query_us_max = max(query_us_max, excluded.query_us_max), worst = max(worst, excluded.worst)"),
          openOutage(db,
                     "INSERT INTO outages(host, start, category, categories, first_line) VALUES(?1, ?2, ?3, "
                     "?4, ?5)"),
          addCategories(db, "UPDATE outages SET categories = categories | ?2 WHERE id = ?1"),
          endOutage(db, "UPDATE outages SET end = ?2, ended_by = ?3 WHERE id = ?1"),
          addAlarm(db,
                   "INSERT INTO alarm_events(t, kind, name, url, category, sound, sounding, line) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)") {}
    sql::Statement findHost, addHost, addRound, addFault, addHour, openOutage, addCategories, endOutage,
        addAlarm;
};

HistoryDatabase::HistoryDatabase(const std::filesystem::path& file, const std::atomic<bool>* giveUp)
    : m_db(OpenOwn(file)), m_giveUp(giveUp) {
    sqlite3_busy_handler(m_db.get(), &WaitWhileBusy, const_cast<std::atomic<bool>*>(m_giveUp));
    // Reading the layout is the first access to the file's pages: a file that is no database fails here.
    sql::Exec(m_db.get(), "PRAGMA journal_mode = WAL");
    sql::Exec(m_db.get(), "PRAGMA synchronous = NORMAL");
    // A round touches the newest pages only: a small page cache keeps the monitor's memory flat for years.
    sql::Exec(m_db.get(), "PRAGMA cache_size = -256");
    Migrate(m_db.get());
    m_statements = std::make_unique<Statements>(m_db.get());
    sql::Statement open(m_db.get(), "SELECT host, id FROM outages WHERE end IS NULL ORDER BY start");
    while (open.Step()) m_openOutages[open.Int(0)] = open.Int(1);
    sql::Statement hosts(m_db.get(), "SELECT id, name, url FROM hosts");
    while (hosts.Step()) m_hosts[{hosts.Bytes(1), hosts.Bytes(2)}] = hosts.Int(0);
}

HistoryDatabase::~HistoryDatabase() {
    m_statements.reset();  // statements go before their connection
}

std::int64_t HistoryDatabase::HostId(const std::string& name, const std::string& url) {
    auto key = std::make_pair(name, url);
    if (auto found = m_hosts.find(key); found != m_hosts.end()) return found->second;
    Statements& s = *m_statements;
    s.addHost.Bind(1, name).Bind(2, url).Run();
    const std::int64_t id = sqlite3_last_insert_rowid(m_db.get());
    m_hosts.emplace(std::move(key), id);
    return id;
}

void HistoryDatabase::Write(std::span<const HistoryItem> items) {
    // The maps follow the file only once the transaction is in.
    auto hosts = m_hosts;
    auto open = m_openOutages;
    try {
        sql::Transaction transaction(m_db.get());
        for (const HistoryItem& item : items) {
            if (const auto* round = std::get_if<RoundBatch>(&item))
                WriteRound(*round);
            else if (const auto* alarm = std::get_if<AlarmRow>(&item))
                WriteAlarm(*alarm);
            else
                WriteMark(std::get<MonitorMark>(item));
        }
        transaction.Commit();
    } catch (...) {
        m_hosts = std::move(hosts);
        m_openOutages = std::move(open);
        throw;
    }
}

void HistoryDatabase::WriteRound(const RoundBatch& batch) {
    std::set<std::int64_t> seen;
    for (const EntryRow& row : batch.entries) {
        const std::int64_t host = HostId(row.name, row.url);
        seen.insert(host);
        if (row.paused)
            EndOutage(host, row.time, "paused");
        else
            WriteEntry(row, host);
    }
    if (!batch.complete) return;
    // An entry no longer in a whole round was deleted from the list.
    std::vector<std::int64_t> gone;
    for (const auto& [host, outage] : m_openOutages)
        if (!seen.contains(host)) gone.push_back(host);
    for (std::int64_t host : gone) EndOutage(host, batch.end, "deleted");
}

void HistoryDatabase::WriteEntry(const EntryRow& row, std::int64_t host) {
    Statements& s = *m_statements;
    const std::int64_t t = Millis(row.time);
    const Outcome outcome = RowOutcome(row);
    const std::int64_t code = OutcomeCode(outcome);
    s.addRound.Bind(1, t).Bind(2, host).Bind(3, code).Bind(4, row.queryTime.count()).Run();
    std::int64_t seq = 0;
    for (const EntryResult::Fault& fault : row.faults)
        s.addFault.Bind(1, t)
            .Bind(2, host)
            .Bind(3, seq++)
            .Bind(4, OutcomeCode(OutcomeOf(fault.category)))
            .Bind(5, fault.line)
            .Run();
    s.addHour.Bind(1, t / kHourMillis)
        .Bind(2, host)
        .Bind(3, outcome == Outcome::Normal ? 1 : 0)
        .Bind(4, row.queryTime.count())
        .Bind(5, code)
        .Run();

    // A query that broke off leaves the host's state as it was, and so its outage.
    if (!row.normal) return;
    const auto open = m_openOutages.find(host);
    if (*row.normal) {
        if (open != m_openOutages.end()) EndOutage(host, row.time, "");
    } else if (open == m_openOutages.end()) {
        s.openOutage.Bind(1, host)
            .Bind(2, t)
            .Bind(3, code)
            .Bind(4, CategoryMask(row))
            .Bind(5, row.faults.empty() ? std::string_view() : std::string_view(row.faults.front().line))
            .Run();
        m_openOutages[host] = sqlite3_last_insert_rowid(m_db.get());
    } else {
        s.addCategories.Bind(1, open->second).Bind(2, CategoryMask(row)).Run();
    }
}

void HistoryDatabase::EndOutage(std::int64_t host, TimePoint when, const char* endedBy) {
    const auto open = m_openOutages.find(host);
    if (open == m_openOutages.end()) return;
    m_statements->endOutage.Bind(1, open->second).Bind(2, Millis(when)).BindText(3, endedBy).Run();
    m_openOutages.erase(open);
}

void HistoryDatabase::WriteAlarm(const AlarmRow& row) {
    sql::Statement& add = m_statements->addAlarm;
    add.Bind(1, Millis(row.time)).BindText(2, row.kind);
    if (row.kind == "raised") {
        add.Bind(3, row.name)
            .Bind(4, row.url)
            .Bind(5, OutcomeCode(OutcomeOf(row.category.value_or(FaultCategory::Unclassified))));
        add.Bind(6, row.soundFlag ? 1 : 0).Bind(7, row.sounding ? 1 : 0).Bind(8, row.line);
    } else if (!row.name.empty()) {
        // An acknowledgement: its host, and who gave it or what ended it.
        add.Bind(3, row.name).Bind(4, row.url).Bind(8, row.line);
    }
    add.Run();
}

void HistoryDatabase::WriteMark(const MonitorMark& mark) {
    // At a start, what is still open was left by a monitor that ended without a stop: its last round is the
    // last that is known of it.
    std::int64_t end = Millis(mark.time);
    if (mark.started) {
        sql::Statement last(m_db.get(), "SELECT max(t) FROM rounds");
        end = last.Step() && !last.IsNull(0) ? last.Int(0) : 0;
    }
    sql::Statement close(m_db.get(),
                         "UPDATE outages SET end = max(start, ?1), ended_by = ?2 WHERE end IS NULL");
    close.Bind(1, end).BindText(2, kMonitorStopped).Run();
    m_openOutages.clear();
    WriteAlarm(AlarmRow{
        mark.time, mark.started ? "monitor-started" : "monitor-stopped", {}, {}, {}, {}, false, false});
}

bool HistoryDatabase::RetainStep(TimePoint now, int keepDays, int limit) {
    const std::int64_t nowMs = Millis(now);
    // Whole hours, so that the reader can tell where raw rows begin to be complete.
    const std::int64_t rawCut =
        (nowMs - std::min(kRawDays, keepDays) * kDayMillis) / kHourMillis * kHourMillis;
    const std::int64_t keptCut = (nowMs - std::int64_t{keepDays} * kDayMillis) / kHourMillis * kHourMillis;
    // Each table by its time key: the limit-th oldest row bounds this step.
    struct Table {
        const char* name;
        const char* key;
        std::int64_t cut;
    };
    const Table tables[] = {{"rounds", "t", rawCut},
                            {"faults", "t", rawCut},
                            {"alarm_events", "t", rawCut},
                            {"hours", "hour", keptCut / kHourMillis}};
    for (const Table& table : tables) {
        const std::string where = std::string(" FROM ") + table.name + " WHERE " + table.key + " < ?1";
        sql::Statement bound(m_db.get(), "SELECT " + std::string(table.key) + where + " ORDER BY " +
                                             table.key + " LIMIT 1 OFFSET ?2");
        bound.Bind(1, table.cut).Bind(2, limit);
        const bool more = bound.Step();
        const std::int64_t upTo = more ? bound.Int(0) : table.cut;
        bound.Reset();
        sql::Transaction step(m_db.get());
        sql::Statement remove(m_db.get(), "DELETE" + where);
        remove.Bind(1, upTo).Run();
        const int removed = sqlite3_changes(m_db.get());
        step.Commit();
        if (more || removed > 0) return true;
    }
    sql::Transaction step(m_db.get());
    sql::Statement remove(m_db.get(),
                          "DELETE FROM outages WHERE id IN (SELECT id FROM outages WHERE end IS NOT NULL "
                          "AND end < ?1 LIMIT ?2)");
    remove.Bind(1, keptCut).Bind(2, limit).Run();
    const int removed = sqlite3_changes(m_db.get());
    step.Commit();
    return removed >= limit;
}

}  // namespace history
