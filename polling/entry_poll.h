#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "polling/status_query.h"
#include "ports/round_observer.h"

struct PollRoundContext;
class ServerLists;

// One server entry of a round in two halves: its query, which may run on another thread, and its
// conclusion (analysis, lines, alarms, state, observer), which a round makes in list order.
struct EntryWork {
    std::string line;  // the entry as it was copied
    std::string url;   // as the query takes it
    EntryResult result;
    std::string report;
    bool read = false;  // the query returned a report to analyse
};

enum class EntryOutcome { Skipped, Analysed };

// The entry at `position` under the list's lock; nothing once the list is shorter.
std::optional<EntryWork> TakeEntry(ServerLists& servers, std::size_t position);
// Asks the host; the lock is not held.
void QueryEntry(const StatusQuery& query, EntryWork& work);
// What the query found, written as a serial round writes it; a paused entry is only told to the observer.
EntryOutcome ConcludeEntry(PollRoundContext& context, EntryWork& work);
