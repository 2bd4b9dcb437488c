#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/history_records.h"
#include "ports/round_observer.h"

// What the status page shows: the hosts now, from the rounds, and over the last day and week, from the
// history. Texts here are UTF-8 with control bytes made visible; times are the system clock's.
namespace web {

using TimePoint = std::chrono::system_clock::time_point;

// One entry of the list as the core holds it after a round, copied on the core's thread.
struct ListedHost {
    std::string name;  // GBK
    std::string url;   // GBK
    bool paused = false;
    std::optional<std::time_t> maintenanceUntil;  // paused for maintenance until then
    bool acknowledged = false;                    // an operator acknowledged its fault
};

enum class HostState { Unknown, Normal, Fault, Paused, Maintenance };

// "normal", the fault's category ("connection", "server", ...), "paused", "maintenance" or "unknown".
struct HostView {
    std::string name;
    std::string url;
    std::string gbkName;  // as the rounds and the history know the host
    std::string gbkUrl;
    HostState state = HostState::Unknown;
    history::Outcome category = history::Outcome::NoData;  // a fault's first line's
    std::string stateName;
    std::string stateText;  // 正常, 连接异常, 已暂停, 维护中, 等待首轮查询
    std::string firstLine;  // a fault's first line
    std::string shortLine;  // the same without the number, time and host a row shows already
    std::optional<TimePoint> since;
    std::optional<TimePoint> maintenanceUntil;
    bool acknowledged = false;  // in fault, and an operator knows it (已知晓)
    std::optional<double> uptime24h;
    std::optional<double> uptime7d;
    std::vector<std::pair<history::Outcome, int>> timeline;  // runs of equal stretches over the last 24 h
};

struct OutageView {
    std::string name;
    std::string url;
    TimePoint start;
    std::optional<TimePoint> end;
    std::string endedBy;  // "", "paused", "deleted", "monitor stopped"
    std::chrono::seconds duration{0};
    history::Outcome category = history::Outcome::Unclassified;
    std::string firstLine;
    std::string shortLine;
};

struct StatusSnapshot {
    TimePoint generated;
    std::optional<TimePoint> lastRound;
    std::uint64_t round = 0;  // rounds ended since the start
    bool history = false;     // uptimes, timelines and outages come from a history
    std::vector<HostView> hosts;
    int Faulty() const;
};

// Hours: a monitor of 1 000 hosts asks each about every 34 minutes, so a shorter stretch would often hold no
// round and break the strip into gaps of no data.
inline constexpr int kTimelineStretches = 24;

// The hosts' states as the rounds found them and since when each is in it. EntryPolled and RoundEnded come
// on the round's worker and only take a short lock; Hosts on any thread.
class StatusBoard final : public RoundObserver {
public:
    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;

    // The listed entries with what the rounds found of them, in the list's order.
    StatusSnapshot Hosts(const std::vector<ListedHost>& listed) const;

private:
    struct Seen {
        std::optional<bool> normal;  // the last report's; nothing while none was read
        history::Outcome category = history::Outcome::NoData;
        std::string firstLine;  // UTF-8
        std::string shortLine;
        bool paused = false;
        int kind = -1;  // normal 0, fault 1, paused 2: a change of kind starts a new "since"
        TimePoint since;
    };
    using Key = std::pair<std::string, std::string>;  // name, URL; GBK

    mutable std::mutex m_mutex;
    std::map<Key, Seen> m_seen;
    std::optional<TimePoint> m_lastRound;
    std::uint64_t m_round = 0;
};

// Adds the history's facts to `snapshot`'s hosts: uptime over 24 h and 7 days and the 24-hour timeline;
// a normal host is normal since its last outage ended, if the week holds one that a normal round ended.
void AddHistory(StatusSnapshot& snapshot, history::HistoryReader& reader);
// The outages overlapping the last `days` days before `now`, newest first.
std::vector<OutageView> RecentOutages(history::HistoryReader& reader, TimePoint now, int days);

// GBK text from a host or the list as the page shows it: UTF-8, control bytes made visible.
std::string ShownText(const std::string& gbk);

}  // namespace web
