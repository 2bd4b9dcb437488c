#include "polling/poll_round.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "polling/monitor_port.h"
#include "polling/report_analysis.h"
#include "polling/round_control.h"
#include "ports/round_observer.h"
#include "servers/server_entry.h"
#include "servers/server_lists.h"
#include "text/data_text.h"
#include "text/gbk.h"

namespace {

std::optional<std::string> CopyEntry(ServerLists& servers, std::size_t position) {
    ServerLists::Locked lists = servers.Lock();
    if (position >= lists.m_arrServers.size()) return std::nullopt;
    return lists.m_arrServers[position];
}

// Where the polled entry is now: its position while it is still there, else the first entry with the same
// text (a row above it was deleted during the query), or nothing once it is gone. A state always lands on
// the host that was asked.
std::optional<std::size_t> Locate(const ServerLists::Locked& lists, std::size_t position,
                                  const std::string& line) {
    const std::vector<std::string>& entries = lists.m_arrServers;
    std::size_t found = position < entries.size() && entries[position] == line
                            ? position
                            : static_cast<std::size_t>(std::ranges::find(entries, line) - entries.begin());
    if (found >= entries.size() || found >= lists.m_arrServerStates.size()) return std::nullopt;
    return found;
}

// The polled entry's state, or nothing when the entry was deleted meanwhile.
std::optional<bool> StateIsTrue(ServerLists& servers, std::size_t position, const std::string& line) {
    ServerLists::Locked lists = servers.Lock();
    std::optional<std::size_t> at = Locate(lists, position, line);
    if (!at) return std::nullopt;
    return lists.m_arrServerStates[*at] == kStateTrue;
}

void StoreState(ServerLists& servers, std::size_t position, const std::string& line, bool normal) {
    ServerLists::Locked lists = servers.Lock();
    if (std::optional<std::size_t> at = Locate(lists, position, line))
        lists.m_arrServerStates[*at] = normal ? kStateTrue : kStateFalse;
}

bool AnyStateFalse(ServerLists& servers) {
    ServerLists::Locked lists = servers.Lock();
    return std::ranges::find(lists.m_arrServerStates, kStateFalse) != lists.m_arrServerStates.end();
}

enum class EntryOutcome { Skipped, Analysed };

// One entry: the lock is held only to copy the entry and to read or write its state, never across the query,
// the analysis or a call into the core.
EntryOutcome PollEntry(PollRoundContext& context, std::size_t position, std::string& report) {
    ServerLists& servers = context.port.Servers();
    std::optional<std::string> line = CopyEntry(servers, position);
    if (!line) throw std::out_of_range("server entry removed during the round");
    entry::PollView view = entry::ForPolling(*line);
    EntryResult result{position, EscapeControls(view.name), EscapeControls(view.url), view.paused(), {}, {},
                       {}};
    auto tell = [&] {
        if (context.observer != nullptr) context.observer->EntryPolled(result);
    };
    if (view.paused()) {
        tell();
        return EntryOutcome::Skipped;
    }

    auto started = std::chrono::steady_clock::now();
    bool read = context.query(view.url, report);
    result.queryTime = std::chrono::steady_clock::now() - started;
    if (!read) {
        report.clear();
        tell();
        return EntryOutcome::Skipped;
    }
    if (context.strictReports && !gbk::Contains(report, "msg"))
        report = ConnectionFaultReport(context.clock());
    std::optional<bool> previousWasTrue = StateIsTrue(servers, position, *line);
    if (!previousWasTrue) throw std::out_of_range("server state removed during the round");
    bool normal = AnalyzeStatusReport(report, result.name, result.url, static_cast<int>(position + 1),
                                      *previousWasTrue, context.port, context.clock, &result.faults);
    StoreState(servers, position, *line, normal);
    report.clear();
    result.normal = normal;
    tell();
    return EntryOutcome::Analysed;
}

std::size_t EntryCount(ServerLists& servers) {
    return servers.Lock().m_arrServers.size();
}

}  // namespace

int PollRoundThread(PollRoundContext context) {
    ServerLists& servers = context.port.Servers();
    std::string report;
    for (std::size_t position = 0; position < EntryCount(servers); ++position) {
        if (context.control.StopRequested()) return 1;
        EntryOutcome outcome = EntryOutcome::Analysed;
        try {
            outcome = PollEntry(context, position, report);
        } catch (...) {
            // One host's trouble never ends the round: the entry keeps its state and the round goes on.
            report.clear();
        }
        if (outcome == EntryOutcome::Analysed && !context.control.Pause(context.pacing.entryPause)) return 1;
    }
    if (context.control.StopRequested()) return 1;
    if (context.observer != nullptr) context.observer->RoundEnded(EntryCount(servers));

    if (!AnyStateFalse(servers)) {
        context.port.Silence();
        context.port.ClearAlarmPane();
    }
    if (!context.control.Pause(context.pacing.entryPause)) return 1;
    context.port.ArmRoundTimer(context.pacing.nextRound);
    return 1;
}
