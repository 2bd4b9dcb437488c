#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "history/history_events.h"
#include "history/history_records.h"
#include "history/outcome_codes.h"
#include "history/schema.h"
#include "history/sqlite_handle.h"

namespace history {

namespace {

// One read transaction, so that every table is seen as of one moment while the monitor writes.
class Snapshot {
public:
    explicit Snapshot(sqlite3* db) : m_db(db) { sql::Exec(db, "BEGIN"); }
    ~Snapshot() { sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

private:
    sqlite3* m_db;
};

struct Host {
    std::string name;
    std::string url;
};

struct Tally {
    int rounds = 0;
    int normal = 0;
    int outages = 0;
    std::int64_t longest = 0;         // ms
    std::vector<std::int64_t> worst;  // outcome codes by stretch
};

std::int64_t CeilDiv(std::int64_t value, std::int64_t by) {
    return value / by + (value % by > 0 ? 1 : 0);
}

// Reads with a connection of its own opened read-only: it neither writes, checkpoints nor removes the
// writer's WAL.
class SqliteHistoryReader final : public HistoryReader {
public:
    explicit SqliteHistoryReader(sql::DatabasePtr db) : m_db(std::move(db)) {}

    std::vector<HostSummary> Summaries(TimePoint from, TimePoint to, int buckets) override {
        Snapshot snapshot(m_db.get());
        return ReadSummaries(Millis(from), Millis(to), std::max(buckets, 1));
    }

    void VisitOutages(TimePoint from, TimePoint to, const std::string* name, const std::string* url,
                      const OutageKey* after, const OutageVisitor& visit) override {
        Snapshot snapshot(m_db.get());
        const auto hosts = Hosts();
        std::int64_t only = 0;
        if (name != nullptr && url != nullptr) {
            const auto host = std::find_if(hosts.begin(), hosts.end(), [&](const auto& entry) {
                return entry.second.name == *name && entry.second.url == *url;
            });
            if (host == hosts.end()) return;
            only = host->first;
        }
        ReadOutages(Millis(from), Millis(to), only, after, [&](const OutageRow& row) {
            const auto host = hosts.find(row.host);
            if (host == hosts.end()) return true;
            OutageRecord record;
            record.name = host->second.name;
            record.url = host->second.url;
            record.start = FromMillis(row.key.start);
            if (row.end) record.end = FromMillis(*row.end);
            record.endedBy = row.statement->Bytes(3);
            record.category = OutcomeFromCode(row.statement->Int(4));
            record.firstLine = row.statement->Bytes(5);
            return visit(record, row.key);
        });
    }

    std::map<std::pair<std::string, std::string>, TimePoint> OpenOutages() override {
        Snapshot snapshot(m_db.get());
        const auto hosts = Hosts();
        std::map<std::pair<std::string, std::string>, TimePoint> open;
        sql::Statement query(m_db.get(),
                             "SELECT host, min(start) FROM outages WHERE end IS NULL GROUP BY host");
        while (query.Step()) {
            const auto host = hosts.find(query.Int(0));
            if (host != hosts.end()) open[{host->second.name, host->second.url}] = FromMillis(query.Int(1));
        }
        return open;
    }

private:
    std::unordered_map<std::int64_t, Host> Hosts() {
        std::unordered_map<std::int64_t, Host> hosts;
        sql::Statement all(m_db.get(), "SELECT id, name, url FROM hosts");
        while (all.Step()) hosts[all.Int(0)] = Host{all.Bytes(1), all.Bytes(2)};
        return hosts;
    }

    struct OutageRow {
        OutageKey key;
        std::int64_t host = 0;
        std::optional<std::int64_t> end;
        const sql::Statement* statement = nullptr;  // columns 3 on: ended_by, category, first_line
    };

    // Outages overlapping [lo, hi), newest first (of host `only` unless 0; after `after` when given), each
    // as it is read until `visit` says false. Those that began in the range come in the start index's own
    // order, so nothing is sorted or held; those that began before it and last into it are at most one a
    // host besides the open ones, read by the end index.
    void ReadOutages(std::int64_t lo, std::int64_t hi, std::int64_t only, const OutageKey* after,
                     const std::function<bool(const OutageRow&)>& visit) {
        constexpr const char* kColumns =
            "SELECT id, host, start, ended_by, category, first_line, end FROM outages ";
        const OutageKey from =
            after != nullptr ? *after : OutageKey{hi, std::numeric_limits<std::int64_t>::min()};
        const auto rowOf = [](const sql::Statement& query) {
            OutageRow row{{query.Int(2), query.Int(0)}, query.Int(1), std::nullopt, &query};
            if (!query.IsNull(6)) row.end = query.Int(6);
            return row;
        };
        if (from.start >= lo) {
            sql::Statement inside(m_db.get(),
                                  std::string(kColumns) +
                                      "WHERE start >= ?1 AND start <= ?2 AND (start < ?2 OR id < ?3) "
                                      "AND start < ?4 AND (end IS NULL OR end > ?1) "
                                      "AND (?5 = 0 OR host = ?5) ORDER BY start DESC, id DESC");
            inside.Bind(1, lo).Bind(2, from.start).Bind(3, from.id).Bind(4, hi).Bind(5, only);
            while (inside.Step())
                if (!visit(rowOf(inside))) return;
        }
        std::vector<std::pair<OutageKey, std::int64_t>> before;  // key, id again for the lookup below
        for (const char* which : {"end > ?1", "end IS NULL"}) {
            sql::Statement spanning(m_db.get(), std::string("SELECT start, id FROM outages WHERE ") + which +
                                                    " AND start < ?1 AND (?2 = 0 OR host = ?2)");
            spanning.Bind(1, lo).Bind(2, only);
            while (spanning.Step()) {
                const OutageKey key{spanning.Int(0), spanning.Int(1)};
                if (std::tie(key.start, key.id) < std::tie(from.start, from.id))
                    before.emplace_back(key, key.id);
            }
        }
        std::sort(before.begin(), before.end(), [](const auto& a, const auto& b) {
            return std::tie(a.first.start, a.first.id) > std::tie(b.first.start, b.first.id);
        });
        sql::Statement one(m_db.get(), std::string(kColumns) + "WHERE id = ?1");
        for (const auto& [key, id] : before) {
            one.Bind(1, id);
            const bool found = one.Step();
            const bool more = !found || visit(rowOf(one));
            one.Reset();
            if (!more) return;
        }
    }

    std::vector<HostSummary> ReadSummaries(std::int64_t lo, std::int64_t hi, int buckets) {
        if (hi <= lo) return {};
        const std::int64_t span = hi - lo;
        const auto bucketOf = [&](std::int64_t t) {
            return static_cast<std::size_t>(
                std::clamp<std::int64_t>((t - lo) * buckets / span, 0, buckets - 1));
        };
        std::unordered_map<std::int64_t, Tally> tallies;
        const auto tally = [&](std::int64_t host) -> Tally& {
            Tally& found = tallies[host];
            if (found.worst.empty()) found.worst.assign(static_cast<std::size_t>(buckets), 0);
            return found;
        };

        // Retention removes raw rows by whole hours: from the hour of the oldest one on they are complete,
        // the hourly sums answer before it.
        std::int64_t rawFrom = std::numeric_limits<std::int64_t>::max();
        {
            sql::Statement oldest(m_db.get(), "SELECT min(t) FROM rounds");
            if (oldest.Step() && !oldest.IsNull(0)) rawFrom = oldest.Int(0) / kHourMillis * kHourMillis;
        }
        const auto addRaw = [&](std::int64_t from, std::int64_t until) {
            sql::Statement raw(m_db.get(), "SELECT host, t, outcome FROM rounds WHERE t >= ?1 AND t < ?2");
            raw.Bind(1, from).Bind(2, until);
            while (raw.Step()) {
                Tally& host = tally(raw.Int(0));
                const std::int64_t code = raw.Int(2);
                ++host.rounds;
                if (code == kNormalCode) ++host.normal;
                std::int64_t& worst = host.worst[bucketOf(raw.Int(1))];
                worst = std::max(worst, code);
            }
        };
        // An hour counts whole; its worst state shows in each stretch it touches before `until`.
        const auto addHours = [&](std::int64_t firstHour, std::int64_t endHour, std::int64_t until) {
            sql::Statement hours(
                m_db.get(),
                "SELECT host, hour, rounds, normal, worst FROM hours WHERE hour >= ?1 AND hour < ?2");
            hours.Bind(1, firstHour).Bind(2, endHour);
            while (hours.Step()) {
                Tally& host = tally(hours.Int(0));
                host.rounds += static_cast<int>(hours.Int(2));
                host.normal += static_cast<int>(hours.Int(3));
                const std::int64_t start = hours.Int(1) * kHourMillis;
                const std::size_t first = bucketOf(std::max(start, lo));
                const std::size_t last = bucketOf(std::min(start + kHourMillis, until) - 1);
                for (std::size_t b = first; b <= last; ++b)
                    host.worst[b] = std::max(host.worst[b], hours.Int(4));
            }
        };
        // Raw rows where they are kept, the hourly sums before.
        const auto addSpan = [&](std::int64_t from, std::int64_t until) {
            if (from >= until) return;
            if (rawFrom < until) addRaw(std::max(from, rawFrom), until);
            if (from < rawFrom) {
                const std::int64_t end = std::min(until, rawFrom);
                addHours(from / kHourMillis, CeilDiv(end, kHourMillis), end);
            }
        };
        // Past a day, the hours wholly inside the range come from their sums, whose rows are hosts x hours
        // however often the hosts were asked; only the range's two partial hours are read round by round.
        const std::int64_t wholeFrom = CeilDiv(lo, kHourMillis);
        const std::int64_t wholeTo = hi / kHourMillis;
        if (span <= kDayMillis || wholeFrom >= wholeTo) {
            addSpan(lo, hi);
        } else {
            addSpan(lo, wholeFrom * kHourMillis);
            addHours(wholeFrom, wholeTo, hi);
            addSpan(wholeTo * kHourMillis, hi);
        }

        const auto hosts = Hosts();
        const std::int64_t now = std::min(Millis(Clock::now()), hi);
        // The outages that began in the range from the covering index, then the few that began before it.
        const auto count = [&](sql::Statement& outages) {
            while (outages.Step()) {
                Tally& host = tally(outages.Int(0));
                ++host.outages;
                const std::int64_t end = outages.IsNull(2) ? now : std::min(outages.Int(2), hi);
                host.longest = std::max(host.longest, end - std::max(outages.Int(1), lo));
            }
        };
        sql::Statement inside(m_db.get(),
                              "SELECT host, start, end FROM outages "
                              "WHERE start >= ?1 AND start < ?2 AND (end IS NULL OR end > ?1)");
        inside.Bind(1, lo).Bind(2, hi);
        count(inside);
        for (const char* which : {"end > ?1", "end IS NULL"}) {
            sql::Statement spanning(m_db.get(), std::string("SELECT host, start, end FROM outages WHERE ") +
                                                    which + " AND start < ?1");
            spanning.Bind(1, lo);
            count(spanning);
        }

        std::vector<HostSummary> summaries;
        for (auto& [id, counted] : tallies) {
            const auto host = hosts.find(id);
            if (host == hosts.end()) continue;
            HostSummary summary;
            summary.name = host->second.name;
            summary.url = host->second.url;
            summary.rounds = counted.rounds;
            summary.uptimePercent = counted.rounds > 0 ? 100.0 * counted.normal / counted.rounds : 0.0;
            summary.outages = counted.outages;
            summary.longest = std::chrono::seconds(std::max<std::int64_t>(counted.longest, 0) / 1000);
            summary.timeline.reserve(counted.worst.size());
            for (std::int64_t code : counted.worst) summary.timeline.push_back(OutcomeFromCode(code));
            summaries.push_back(std::move(summary));
        }
        std::sort(summaries.begin(), summaries.end(), [](const HostSummary& a, const HostSummary& b) {
            return std::tie(a.name, a.url) < std::tie(b.name, b.url);
        });
        return summaries;
    }

    sql::DatabasePtr m_db;
};

}  // namespace

std::vector<OutageRecord> HistoryReader::Outages(TimePoint from, TimePoint to, const std::string* name,
                                                 const std::string* url) {
    std::vector<OutageRecord> records;
    VisitOutages(from, to, name, url, nullptr, [&](const OutageRecord& record, const OutageKey&) {
        records.push_back(record);
        return true;
    });
    return records;
}

std::unique_ptr<HistoryReader> HistoryReader::Open(const std::filesystem::path& file, std::string& error) {
    // A FIFO or device would block or feed the library junk; only a regular file is opened.
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        const int cause = errno;
        error = cause == ENOENT ? "there is no history at " + file.string()
                                : file.string() + " cannot be read (" + std::strerror(cause) + ")";
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        error = file.string() + " is not a regular file";
        return nullptr;
    }
    try {
        // What the file holds is known before SQLite is let at it as a reader, which may leave files
        // beside another program's database.
        int version = 0;
        switch (LayoutOfFile(file, version)) {
            case Layout::Empty:
                error = "there is no history in " + file.string() + " yet";
                return nullptr;
            case Layout::Newer:
                error = file.string() + " was written by a newer Tessiv";
                return nullptr;
            case Layout::Foreign:
                error = file.string() + " is another program's database, not a Tessiv history";
                return nullptr;
            case Layout::Ours:
                break;
        }
        sql::DatabasePtr db = sql::Open(file.string(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
        sqlite3_busy_timeout(db.get(), 2000);
        return std::make_unique<SqliteHistoryReader>(std::move(db));
    } catch (const sql::Error& failure) {
        error = file.string() + " cannot be read (" + failure.what() + ")";
        return nullptr;
    }
}

}  // namespace history
