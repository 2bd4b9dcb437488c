#include "tests/history/flapping_history.h"

#include <string>
#include <vector>

#include "history/history_database.h"
#include "history/history_events.h"
#include "history/outcome_codes.h"
#include "history/sqlite_handle.h"

namespace {

using history::kHourMillis;

constexpr std::int64_t kMinuteMillis = 60'000;

std::string HostName(int host) {
    return "Center-" + std::to_string(host);
}

}  // namespace

void WriteFlappingHistory(const std::filesystem::path& file, const FlappingShape& shape,
                          history::TimePoint now) {
    // The store lays the file out; the rows go in through a connection that skips the journal.
    { history::HistoryDatabase layout(file); }
    history::sql::DatabasePtr db =
        history::sql::Open(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
    history::sql::Exec(db.get(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");

    history::sql::Statement addHost(db.get(), "INSERT INTO hosts(id, name, url) VALUES(?1, ?2, ?3)");
    history::sql::Statement addRound(db.get(),
                                     "INSERT INTO rounds(t, host, outcome, query_us) VALUES(?1, ?2, ?3, ?4)");
    history::sql::Statement addFault(
        db.get(), "INSERT INTO faults(t, host, seq, category, line) VALUES(?1, ?2, 0, ?3, ?4)");
    history::sql::Statement addHour(
        db.get(),
        "INSERT INTO hours(hour, host, rounds, normal, query_us_sum, query_us_max, worst) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    history::sql::Statement addOutage(
        db.get(),
        "INSERT INTO outages(host, start, end, category, categories, first_line) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");

    const std::int64_t normal = history::OutcomeCode(history::Outcome::Normal);
    const std::int64_t disk = history::OutcomeCode(history::Outcome::DiskSpace);
    const std::int64_t end = history::Millis(now) / kMinuteMillis * kMinuteMillis;
    const std::int64_t firstHour = (end - std::int64_t{shape.days} * history::kDayMillis) / kHourMillis;
    const std::int64_t lastHour = end / kHourMillis;  // exclusive; the current hour is the rounds' only
    const std::int64_t flapFrom =
        shape.flapDays > 0
            ? (end - std::int64_t{shape.flapDays} * history::kDayMillis) / kHourMillis * kHourMillis
            : end;

    history::sql::Exec(db.get(), "BEGIN");
    std::vector<std::string> lines;
    for (int host = 1; host <= shape.hosts; ++host) {
        addHost.Bind(1, host)
            .Bind(2, HostName(host))
            .Bind(3, "http://192.0.2." + std::to_string(host % 250) +
                         ":89/Interface/tarv/tarvAction_appreg.action")
            .Run();
        lines.push_back("001 <t> ------ " + HostName(host) + " disk space fault on /var/lib/gps ------");
    }

    // Before the flapping: one outage of 5 rounds a host a day, at an hour of its own.
    int rows = 0;
    const auto commitNow = [&] {
        if (++rows % 200'000 != 0) return;
        history::sql::Exec(db.get(), "COMMIT; BEGIN");
    };
    for (std::int64_t hour = firstHour; hour < lastHour; ++hour) {
        const bool flapping = hour * kHourMillis >= flapFrom;
        for (int host = 1; host <= shape.hosts; ++host) {
            const bool daily = !flapping && (hour + host) % 24 == 0;
            const std::int64_t faulty = flapping ? 30 : (daily ? 5 : 0);
            addHour.Bind(1, hour)
                .Bind(2, host)
                .Bind(3, 60)
                .Bind(4, 60 - faulty)
                .Bind(5, 60 * 900)
                .Bind(6, 2000)
                .Bind(7, faulty > 0 ? disk : normal)
                .Run();
            commitNow();
            if (daily) {
                const std::int64_t start = hour * kHourMillis + 10 * kMinuteMillis;
                addOutage.Bind(1, host)
                    .Bind(2, start)
                    .Bind(3, start + 5 * kMinuteMillis)
                    .Bind(4, disk)
                    .Bind(5, std::int64_t{1} << disk)
                    .Bind(6, lines[static_cast<std::size_t>(host - 1)])
                    .Run();
                commitNow();
            }
        }
    }
    // The flapping: a round a minute, every host in fault every other round.
    for (std::int64_t t = flapFrom; t < end; t += kMinuteMillis) {
        for (int host = 1; host <= shape.hosts; ++host) {
            const bool fault = (t / kMinuteMillis + host) % 2 == 1;
            addRound.Bind(1, t).Bind(2, host).Bind(3, fault ? disk : normal).Bind(4, 900).Run();
            commitNow();
            if (!fault) continue;
            addFault.Bind(1, t)
                .Bind(2, host)
                .Bind(3, disk)
                .Bind(4, lines[static_cast<std::size_t>(host - 1)])
                .Run();
            addOutage.Bind(1, host)
                .Bind(2, t)
                .Bind(4, disk)
                .Bind(5, std::int64_t{1} << disk)
                .Bind(6, lines[static_cast<std::size_t>(host - 1)]);
            if (t + kMinuteMillis < end)
                addOutage.Bind(3, t + kMinuteMillis);
            else
                addOutage.BindNull(3);
            addOutage.Run();
            commitNow();
        }
    }
    // The current hour's sums, as the rounds in it give them.
    const std::string current =
        "INSERT OR REPLACE INTO hours(hour, host, rounds, normal, query_us_sum, query_us_max, worst) "
        "SELECT t / 3600000, host, count(*), sum(outcome = 1), sum(query_us), max(query_us), max(outcome) "
        "FROM rounds WHERE t >= " +
        std::to_string(lastHour * kHourMillis) + " GROUP BY t / 3600000, host";
    history::sql::Exec(db.get(), current.c_str());
    history::sql::Exec(db.get(), "COMMIT");
    history::sql::Exec(db.get(), "PRAGMA journal_mode = WAL");
}
