#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
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

    std::vector<OutageRecord> Outages(TimePoint from, TimePoint to, const std::string* name,
                                      const std::string* url) override {
        Snapshot snapshot(m_db.get());
        std::vector<OutageRecord> records;
        const auto hosts = Hosts();
        for (const auto& [host, record] : ReadOutages(Millis(from), Millis(to), hosts)) {
            if ((name == nullptr || record.name == *name) && (url == nullptr || record.url == *url))
                records.push_back(record);
        }
        return records;
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

    // Outages overlapping [lo, hi), newest first, with their host ids.
    std::vector<std::pair<std::int64_t, OutageRecord>> ReadOutages(
        std::int64_t lo, std::int64_t hi, const std::unordered_map<std::int64_t, Host>& hosts) {
        std::vector<std::pair<std::int64_t, OutageRecord>> records;
        sql::Statement query(m_db.get(),
                             "SELECT host, start, end, ended_by, category, first_line FROM outages "
                             "WHERE start < ?2 AND (end IS NULL OR end > ?1) ORDER BY start DESC, id DESC");
        query.Bind(1, lo).Bind(2, hi);
        while (query.Step()) {
            const auto host = hosts.find(query.Int(0));
            if (host == hosts.end()) continue;
            OutageRecord record;
            record.name = host->second.name;
            record.url = host->second.url;
            record.start = FromMillis(query.Int(1));
            if (!query.IsNull(2)) record.end = FromMillis(query.Int(2));
            record.endedBy = query.Bytes(3);
            record.category = OutcomeFromCode(query.Int(4));
            record.firstLine = query.Bytes(5);
            records.emplace_back(query.Int(0), std::move(record));
        }
        return records;
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
        if (rawFrom < hi) {
            sql::Statement raw(m_db.get(), "SELECT host, t, outcome FROM rounds WHERE t >= ?1 AND t < ?2");
            raw.Bind(1, std::max(lo, rawFrom)).Bind(2, hi);
            while (raw.Step()) {
                Tally& host = tally(raw.Int(0));
                const std::int64_t code = raw.Int(2);
                ++host.rounds;
                if (code == kNormalCode) ++host.normal;
                std::int64_t& worst = host.worst[bucketOf(raw.Int(1))];
                worst = std::max(worst, code);
            }
        }
        if (lo < rawFrom) {
            const std::int64_t until = std::min(hi, rawFrom);
            sql::Statement hours(
                m_db.get(),
                "SELECT host, hour, rounds, normal, worst FROM hours WHERE hour >= ?1 AND hour < ?2");
            hours.Bind(1, lo / kHourMillis).Bind(2, CeilDiv(until, kHourMillis));
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
        }

        const auto hosts = Hosts();
        const std::int64_t now = std::min(Millis(Clock::now()), hi);
        for (const auto& [id, record] : ReadOutages(lo, hi, hosts)) {
            Tally& host = tally(id);
            ++host.outages;
            const std::int64_t end = record.end ? std::min(Millis(*record.end), hi) : now;
            host.longest = std::max(host.longest, end - std::max(Millis(record.start), lo));
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
