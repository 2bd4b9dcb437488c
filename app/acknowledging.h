#pragma once

#include <string>

class AlarmRules;
class MonitorCore;

// The operator's acknowledgements, the same from every front: the window's list, the notification, the tray
// and `tessiv --ack NAME`. On the core's thread.
class Acknowledging {
public:
    Acknowledging(MonitorCore& core, AlarmRules& rules) : m_core(core), m_rules(rules) {}

    struct Answer {
        bool ok = false;
        std::string message;  // UTF-8: what was done, or why not
    };
    // Every entry named `nameGbk` whose last round reported a fault: its fault is known, by `who` ("window",
    // "command line"). When no host in fault is left unacknowledged, the alarm sound stops.
    Answer Acknowledge(const std::string& nameGbk, const std::string& who);
    Answer Unacknowledge(const std::string& nameGbk, const std::string& who);

private:
    MonitorCore& m_core;
    AlarmRules& m_rules;
};
