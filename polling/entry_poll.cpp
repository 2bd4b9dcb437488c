#include "polling/entry_poll.h"

#include <algorithm>
#include <stdexcept>

#include "polling/monitor_port.h"
#include "polling/poll_round.h"
#include "polling/report_analysis.h"
#include "servers/server_entry.h"
#include "servers/server_lists.h"
#include "text/data_text.h"
#include "text/gbk.h"

namespace {

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

}  // namespace

std::optional<EntryWork> TakeEntry(ServerLists& servers, std::size_t position) {
    EntryWork work;
    {
        ServerLists::Locked lists = servers.Lock();
        if (position >= lists.m_arrServers.size()) return std::nullopt;
        work.line = lists.m_arrServers[position];
    }
    entry::PollView view = entry::ForPolling(work.line);
    work.url = std::move(view.url);
    work.result = {position, EscapeControls(view.name), EscapeControls(work.url), view.paused(), {}, {}, {}};
    return work;
}

void QueryEntry(const StatusQuery& query, EntryWork& work) {
    const auto started = std::chrono::steady_clock::now();
    work.read = query(work.url, work.report);
    work.result.queryTime = std::chrono::steady_clock::now() - started;
}

EntryOutcome ConcludeEntry(PollRoundContext& context, EntryWork& work) {
    EntryResult& result = work.result;
    auto tell = [&] {
        if (context.observer != nullptr) context.observer->EntryPolled(result);
    };
    if (result.paused || !work.read) {
        work.report.clear();
        tell();
        return EntryOutcome::Skipped;
    }
    ServerLists& servers = context.port.Servers();
    if (context.strictReports && !gbk::Contains(work.report, "msg"))
        work.report = ConnectionFaultReport(context.clock());
    std::optional<bool> previousWasTrue = StateIsTrue(servers, result.position, work.line);
    if (!previousWasTrue) throw std::out_of_range("server state removed during the round");
    bool normal =
        AnalyzeStatusReport(work.report, result.name, result.url, static_cast<int>(result.position + 1),
                            *previousWasTrue, context.port, context.clock, &result.faults);
    StoreState(servers, result.position, work.line, normal);
    work.report.clear();
    result.normal = normal;
    tell();
    return EntryOutcome::Analysed;
}
