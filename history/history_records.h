#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the history tells about the hosts: the types its readers (the history window, `--history`, the tray's
// "since when") work with. Names and URLs are GBK, as everywhere else; lines too.
namespace history {

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;

// The state of a host in one round, and so of a stretch of a timeline.
enum class Outcome {
    NoData,
    Normal,
    Connection,
    ServerFault,
    DiskSpace,
    DbLog,
    Security,
    Unclassified,
    BrokeOff
};

// One host over the range asked for: its share of normal rounds, its outages that overlap the range, and a
// timeline of equal stretches from the range's start to its end, each the worst state seen in it.
struct HostSummary {
    std::string name;
    std::string url;
    int rounds = 0;            // rounds with an outcome for this host in the range
    double uptimePercent = 0;  // normal rounds / rounds * 100; 0 rounds: 0
    int outages = 0;
    std::chrono::seconds longest{0};  // the longest outage's part inside the range; an open one up to now
    std::vector<Outcome> timeline;
};

// One outage: from the first round whose state for the host was "false" to the first one "true" again.
struct OutageRecord {
    std::string name;
    std::string url;
    TimePoint start;
    std::optional<TimePoint> end;  // none: still open (进行中)
    std::string
        endedBy;  // "" when ended by a normal round; "paused", "deleted" or "monitor stopped" otherwise
    Outcome category = Outcome::Unclassified;  // the first fault's
    std::string firstLine;                     // the first fault line, GBK
};

// A host as the running monitor holds it now, for a reader that shows it beside the history.
struct HostNow {
    std::string state;  // in words, UTF-8: 正常, 空间不足, 已暂停, 维护中, ...
    std::optional<TimePoint> since;
};
// By name and URL (GBK).
using HostsNow = std::map<std::pair<std::string, std::string>, HostNow>;

// The endedBy of an outage the monitor's own stop ended: the time after it tells nothing of the host.
inline constexpr const char* kMonitorStopped = "monitor stopped";

// Where an outage stands in the newest-first order: a page of them goes on after the last one's key.
struct OutageKey {
    std::int64_t start = 0;  // ms since the epoch
    std::int64_t id = 0;
};

// Called for each outage as it is read; false ends the reading.
using OutageVisitor = std::function<bool(const OutageRecord&, const OutageKey&)>;

// The outages the history window shows at a time; it asks for more as the list is scrolled.
inline constexpr int kOutagePage = 500;

// Reads a history database; never writes, so it can be used while the monitor writes. The queries throw
// std::runtime_error when the file cannot be read any more (removed or damaged meanwhile).
class HistoryReader {
public:
    // Null with `error` set (plain words, UTF-8) when there is no usable database at `file`.
    static std::unique_ptr<HistoryReader> Open(const std::filesystem::path& file, std::string& error);
    virtual ~HistoryReader() = default;

    // Every host seen in [from, to), by name then URL; `buckets` stretches in each timeline. Past a day the
    // hours inside the range come from the hourly sums, so a stretch shows the worst of each hour it touches.
    virtual std::vector<HostSummary> Summaries(TimePoint from, TimePoint to, int buckets) = 0;
    // Outages overlapping [from, to), newest first, handed to `visit` as they are read: only the host's when
    // `name` and `url` are given, only those after `after` when it is given.
    virtual void VisitOutages(TimePoint from, TimePoint to, const std::string* name, const std::string* url,
                              const OutageKey* after, const OutageVisitor& visit) = 0;
    // All of them at once, for short lists.
    std::vector<OutageRecord> Outages(TimePoint from, TimePoint to, const std::string* name = nullptr,
                                      const std::string* url = nullptr);
    // The hosts in an outage now (by name and URL), with its start.
    virtual std::map<std::pair<std::string, std::string>, TimePoint> OpenOutages() = 0;
};

}  // namespace history
