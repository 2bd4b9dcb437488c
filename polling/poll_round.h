#pragma once

#include "polling/pacing.h"
#include "polling/status_query.h"
#include "text/time_text.h"

class MonitorPort;
class RoundControl;
class RoundObserver;

struct PollRoundContext {
    MonitorPort& port;
    RoundControl& control;
    StatusQuery query;
    Pacing pacing;
    Clock clock;
    RoundObserver* observer = nullptr;  // optional: told of each entry and the end of the round
    bool strictReports = false;         // an answer without "msg" is a connection fault, not normal
    int parallel = 1;                   // hosts asked at once; above 1 without the pause after each entry
};

// One poll round over the server entries, on the calling (worker) thread; returns the exit code 1. Ends
// early, without the all-clear or the next arming, once a stop is requested. With `parallel` above 1 the
// queries run on threads of their own while this thread writes their outcomes in list order.
int PollRoundThread(PollRoundContext context);
