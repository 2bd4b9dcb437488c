#pragma once

#include <optional>
#include <utility>

#include "config/config_file.h"

// The opt-in alarm rules; each stays off (as without the file) unless given and valid.
struct AlarmConfig {
    int confirmRounds = 1;  // 1 to 10: a host alarms from its N-th consecutive faulty round
    // Local minutes of the day, [start, end); the span may cross midnight.
    std::optional<std::pair<int, int>> quietHours;
    std::optional<int> escalateMinutes;  // 1 to 1440
    // A status 200 without a status report (an error or login page, another service) is a connection fault.
    bool strictReports = false;
};

// tessiv.conf's [alarm].
ConfigSectionRule AlarmSection();
// Each rule stands alone: a bad value turns off only its own rule. A broken section turns them all off.
AlarmConfig ReadAlarmConfig(ConfigFile& file);
