#pragma once

#include <string>
#include <vector>

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
    // Every host in fault that is not acknowledged yet, as Acknowledge does.
    void AcknowledgeAll(const std::string& who);

    enum class State { Normal, InFault, Acknowledged };
    // The worst of the entries of that name: acknowledged before in fault before normal.
    State StateOf(const std::string& nameGbk) const;
    // The names (GBK) of the hosts whose last round reported a fault, and whether each is acknowledged.
    std::vector<std::pair<std::string, bool>> HostsInFault() const;

private:
    void SilenceWhenAllKnown();

    MonitorCore& m_core;
    AlarmRules& m_rules;
};
