#include "polling/poll_round.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>

#include "polling/entry_poll.h"
#include "polling/monitor_port.h"
#include "polling/query_pool.h"
#include "polling/round_control.h"
#include "servers/server_lists.h"

namespace {

bool AnyStateFalse(ServerLists& servers) {
    ServerLists::Locked lists = servers.Lock();
    return std::ranges::find(lists.m_arrServerStates, kStateFalse) != lists.m_arrServerStates.end();
}

std::size_t EntryCount(ServerLists& servers) {
    return servers.Lock().m_arrServers.size();
}

// One entry: the lock is held only to copy the entry and to read or write its state, never across the query,
// the analysis or a call into the core.
EntryOutcome PollEntry(PollRoundContext& context, std::size_t position) {
    std::optional<EntryWork> work = TakeEntry(context.port.Servers(), position);
    if (!work) throw std::out_of_range("server entry removed during the round");
    if (!work->result.paused) QueryEntry(context.query, *work);
    return ConcludeEntry(context, *work);
}

// The hosts one after the other, with the pause after each analysed entry.
bool SerialEntries(PollRoundContext& context) {
    ServerLists& servers = context.port.Servers();
    for (std::size_t position = 0; position < EntryCount(servers); ++position) {
        if (context.control.StopRequested()) return false;
        EntryOutcome outcome = EntryOutcome::Analysed;
        try {
            outcome = PollEntry(context, position);
        } catch (...) {
            // One host's trouble never ends the round: the entry keeps its state and the round goes on.
        }
        if (outcome == EntryOutcome::Analysed && !context.control.Pause(context.pacing.entryPause))
            return false;
    }
    return true;
}

// Up to `parallel` hosts asked at once and no pause between them; what they answered is written in list
// order, each entry once every entry above it is done, exactly as a serial round writes it.
bool ParallelEntries(PollRoundContext& context) {
    ServerLists& servers = context.port.Servers();
    std::deque<std::shared_ptr<QueryJob>> pending;  // taken, not yet written; in list order
    QueryPool pool(context.query, context.parallel);
    std::size_t next = 0;
    for (;;) {
        if (context.control.StopRequested()) return false;
        // The count is read afresh each time, so an entry added before the round reaches it is polled.
        while (next < EntryCount(servers)) {
            std::optional<EntryWork> work = TakeEntry(servers, next);
            if (!work) break;
            ++next;
            auto job = std::make_shared<QueryJob>(std::move(*work));
            if (job->work.result.paused)
                job->done = true;
            else
                pool.Submit(job);
            pending.push_back(std::move(job));
        }
        if (pending.empty()) return true;
        const std::shared_ptr<QueryJob> job = std::move(pending.front());
        pending.pop_front();
        if (!pool.Await(*job, context.control)) return false;
        if (job->failed) continue;
        try {
            ConcludeEntry(context, job->work);
        } catch (...) {
            // As in a serial round: the entry keeps its state and the round goes on.
        }
    }
}

}  // namespace

int PollRoundThread(PollRoundContext context) {
    ServerLists& servers = context.port.Servers();
    const bool walked = context.parallel > 1 ? ParallelEntries(context) : SerialEntries(context);
    if (!walked || context.control.StopRequested()) return 1;
    if (context.observer != nullptr) context.observer->RoundEnded(EntryCount(servers));

    if (!AnyStateFalse(servers)) {
        context.port.Silence();
        context.port.ClearAlarmPane();
    }
    if (!context.control.Pause(context.pacing.entryPause)) return 1;
    context.port.ArmRoundTimer(context.pacing.nextRound);
    return 1;
}
