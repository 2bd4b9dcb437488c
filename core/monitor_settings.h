#pragma once

#include <filesystem>

#include "polling/pacing.h"
#include "polling/status_query.h"
#include "text/time_text.h"

class RoundObserver;

// Where the monitor keeps its files and how fast it runs. The program uses the defaults.
struct MonitorSettings {
    std::filesystem::path dataDir;  // Setting.ini (and log.txt); empty: the executable's directory
    std::filesystem::path logDir;   // log.txt; empty: dataDir
    Pacing pacing;
    Clock clock = SystemClock();
    QueryLimits queryLimits;
    RoundObserver* roundObserver = nullptr;  // told of every polled entry, on the worker thread
    int parallel = 1;                        // hosts a round asks at once (tessiv.conf's [polling])
};
