#pragma once

#include <ctime>

#include "ports/alarm_facts.h"

// What becomes of one fault line the analysis raised as an alarm.
enum class AlarmVerdict {
    Alarm,         // as without rules
    Pending,       // not confirmed yet: the pane and log.txt as a muted fault, no raise, nobody told
    Quiet,         // quiet hours: everything but the sound and the alarm title
    Acknowledged,  // the operator knows of this fault: as Pending
};

// Asked by the window, on its thread, before it shows an alarm.
class AlarmFilter {
public:
    virtual ~AlarmFilter() = default;
    virtual AlarmVerdict Judge(const AlarmFacts& facts, std::time_t now) = 0;
};
