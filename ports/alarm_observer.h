#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "ports/fault_category.h"

struct AlarmEvent {
    std::string line;        // the fault line as in the alarm pane, GBK
    std::string serverName;  // GBK, the entry's name when it was polled; empty when not known
    std::string url;         // GBK, the entry's status URL; empty when not known
    FaultCategory category = FaultCategory::Unclassified;
    bool soundFlag = false;  // the line was entitled to sound (the "alarm sound ..." record of log.txt)
    bool sounding = false;   // after this alarm the sound loops and the alarm title is set
    std::chrono::system_clock::time_point time;
};

// Puts one line (GBK) in the run pane, from any thread, without waiting; once the window is gone the lines
// are dropped.
using RunPaneSink = std::function<void(std::string gbkLine)>;

// Told of the alarm's life on the window's thread, after the window has handled each step. Implementations
// must return at once: anything slow goes to a thread or an asynchronous call of their own.
class AlarmObserver {
public:
    virtual ~AlarmObserver() = default;
    // When the window takes the observer: its one way to put a notice in the run pane; may be kept.
    virtual void Attached(const RunPaneSink& runPane) { static_cast<void>(runPane); }
    virtual void AlarmRaised(const AlarmEvent& event) = 0;
    // The operator silenced the alarm (button, notification or tray).
    virtual void AlarmSilenced() = 0;
    // Every host is normal again: the sound stopped and the alarm pane is being emptied.
    virtual void AllClear() = 0;
    // The alarm pane was emptied, by the operator or by the all-clear.
    virtual void AlarmPaneCleared() = 0;
};
