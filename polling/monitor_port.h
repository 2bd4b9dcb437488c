#pragma once

#include <chrono>
#include <string>

#include "ports/alarm_facts.h"

class ServerLists;

// The mute options the analysis reads when it classifies a fault line.
struct MuteOptions {
    bool connection = false;
    bool serverFault = false;
    bool diskSpace = false;
    bool dbLog = false;
};

// The one seam between a poll round and the monitor. The monitor's core implements it by carrying each call
// to its own thread; tests implement it with a recorder. Every call returns after the core has handled it,
// except ArmRoundTimer, which only asks.
class MonitorPort {
public:
    virtual ~MonitorPort() = default;

    virtual void AppendRunLog(std::string line) = 0;
    // `soundFlag`: the line is entitled to sound; `facts`: its entry and category, for the alarm's observers.
    virtual void RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) = 0;
    // Shows the run pane's new lines now.
    virtual void PollRefresh() = 0;
    // The silence button's command: stops the alarm sound and restores the title.
    virtual void Silence() = 0;
    virtual void ClearAlarmPane() = 0;
    virtual void ArmRoundTimer(std::chrono::milliseconds delay) = 0;

    // Safe to call from any thread; the values current at the call.
    virtual MuteOptions Mutes() const = 0;
    virtual ServerLists& Servers() = 0;
};
