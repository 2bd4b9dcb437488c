#include "rules/alarm_config.h"

#include <string>

namespace {

// "HH:MM" as minutes of the day.
std::optional<int> ClockMinutes(std::string_view text) {
    if (text.size() != 5 || text[2] != ':') return std::nullopt;
    const auto hours = ConfigNumber(text.substr(0, 2), 0, 23);
    const auto minutes = ConfigNumber(text.substr(3, 2), 0, 59);
    if (!hours || !minutes) return std::nullopt;
    return *hours * 60 + *minutes;
}

}  // namespace

ConfigSectionRule AlarmSection() {
    return {"alarm",
            {"confirm_rounds", "quiet_hours", "escalate_after", "strict_reports"},
            "that alarm rule stays off"};
}

AlarmConfig ReadAlarmConfig(ConfigFile& file) {
    AlarmConfig config;
    const ConfigSection alarm = file.Section("alarm");
    if (alarm.Broken()) return config;
    if (auto rounds = alarm.Value("confirm_rounds")) {
        if (auto value = ConfigNumber(*rounds, 1, 10))
            config.confirmRounds = *value;
        else
            alarm.BadValue("confirm_rounds", "not a number of rounds from 1 to 10");
    }
    if (auto quiet = alarm.Value("quiet_hours")) {
        const auto dash = quiet->find('-');
        const auto start =
            dash == std::string::npos ? std::nullopt : ClockMinutes(TrimConfigText(quiet->substr(0, dash)));
        const auto end =
            dash == std::string::npos ? std::nullopt : ClockMinutes(TrimConfigText(quiet->substr(dash + 1)));
        if (start && end && *start != *end)
            config.quietHours = std::pair{*start, *end};
        else
            alarm.BadValue("quiet_hours", "not a span HH:MM-HH:MM of local time");
    }
    if (auto escalate = alarm.Value("escalate_after")) {
        if (auto value = ConfigNumber(*escalate, 1, 1440))
            config.escalateMinutes = *value;
        else
            alarm.BadValue("escalate_after", "not a number of minutes from 1 to 1440");
    }
    if (auto strict = alarm.Value("strict_reports")) {
        if (auto value = ConfigBool(*strict))
            config.strictReports = *value;
        else
            alarm.BadValue("strict_reports", "not true or false");
    }
    return config;
}
