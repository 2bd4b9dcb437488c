#pragma once

#include <vector>

#include "config/config_file.h"

// The history of rounds in history.sqlite: on unless turned off; raw rows for 14 days, hours and outages
// for keepDays.
struct HistoryConfig {
    bool enabled = true;
    int keepDays = 400;  // 1 to 3650
};

// tessiv.conf's [history].
ConfigSectionRule HistorySection();
// A problem turns the history off rather than guess: `enabled = flase` most likely meant off.
HistoryConfig ReadHistoryConfig(ConfigFile& file);
