#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "history/history_records.h"
#include "ports/round_observer.h"

// What the observers hand the history's writer: plain copies, so that the database never looks back at the
// worker or the core.
namespace history {

struct EntryRow {
    TimePoint time;
    std::string name;
    std::string url;
    bool paused = false;
    std::optional<bool> normal;
    std::chrono::microseconds queryTime{0};
    std::vector<EntryResult::Fault> faults;
};

// One round's entries. A round that was stopped half-way is not `complete`: the entries it lacks tell
// nothing about deleted hosts.
struct RoundBatch {
    std::vector<EntryRow> entries;
    bool complete = false;
    TimePoint end;
};

struct AlarmRow {
    TimePoint time;
    std::string
        kind;  // "raised", "silenced", "all-clear", "pane-cleared"; "monitor-started", "monitor-stopped";
               // "acknowledged" (line: who), "acknowledgement-ended" (line: who or what ended it)
    std::string name;
    std::string url;
    std::string line;
    std::optional<FaultCategory> category;
    bool soundFlag = false;
    bool sounding = false;
};

// The monitor's own start or stop. An outage open at a stop ends there; one still open at a start was left
// by a monitor that ended without saying so, and ends at its last round.
struct MonitorMark {
    TimePoint time;
    bool started = false;
};

using HistoryItem = std::variant<RoundBatch, AlarmRow, MonitorMark>;

inline std::int64_t Millis(TimePoint time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

inline TimePoint FromMillis(std::int64_t millis) {
    return TimePoint(std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(millis)));
}

inline constexpr std::int64_t kHourMillis = 3'600'000;
inline constexpr std::int64_t kDayMillis = 24 * kHourMillis;
inline constexpr int kRawDays = 14;

}  // namespace history
