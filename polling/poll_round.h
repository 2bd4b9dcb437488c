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
};

// One poll round over the server entries, on the calling (worker) thread; returns the exit code 1. Ends
// early, without the all-clear or the next arming, once a stop is requested.
int PollRoundThread(PollRoundContext context);
