#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "rules/alarm_rules.h"
#include "text/time_text.h"

class Integrations;
class MonitorCore;
struct AlarmConfig;

// Where the rules' steps go besides the monitor's own.
struct AlarmRulesOutlets {
    // The hook and the webhook: an alarm nobody dealt with, with the lines still in fault (GBK).
    std::function<void(const std::vector<std::string>& lines, std::chrono::system_clock::time_point when)>
        escalate;
    std::function<void()> showAgain;             // the notification, critical
    std::function<void(bool down)> networkDown;  // the notification and the tray
    // An operator's acknowledgement began or ended: the history and the metrics.
    std::function<void(const AcknowledgementChange& change)> acknowledged;
};

AlarmRulesConfig RulesConfig(const AlarmConfig& wanted);

// Tells the metrics which entries wait for confirmation; returns the outlets with escalations going to the
// hook and the webhook. Both must outlive the monitor.
AlarmRulesOutlets TieAlarmRules(AlarmRules& rules, Integrations& integrations);

// Puts `rules` between the monitor's alarms and its steps, tells it of the alarm's life, and carries out what
// it asks after every round and every `tick` (the start of quiet hours, an escalation of an alarm the core
// says nobody dealt with, sound or not), reading `clock` as the monitor does. `rules` must outlive the
// monitor.
void AttachAlarmRules(MonitorCore& core, AlarmRules& rules, Clock clock, AlarmRulesOutlets outlets,
                      std::chrono::milliseconds tick = std::chrono::seconds(1));
