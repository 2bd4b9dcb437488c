#pragma once

#include "polling/monitor_port.h"

// The six options the operator sets: what an alarm does beyond its pane line, and which faults keep quiet.
struct MonitorOptions {
    bool topOnAlarm = true;  // an alarm fetches the operator
    bool playSound = true;
    MuteOptions mutes;
};
