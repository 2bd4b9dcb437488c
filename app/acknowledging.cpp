#include "app/acknowledging.h"

#include <ctime>
#include <utility>
#include <vector>

#include "core/monitor_core.h"
#include "rules/alarm_rules.h"
#include "servers/server_entry.h"
#include "text/data_text.h"
#include "text/gbk.h"

namespace {

using Host = std::pair<std::string, std::string>;

// The entries of that name as the round knows them: name and URL with their control bytes made visible.
std::vector<Host> EntriesNamed(MonitorCore& core, const std::string& nameGbk) {
    std::vector<Host> hosts;
    for (const std::string& text : core.Servers().Entries()) {
        const entry::PollView polled = entry::ForPolling(text);
        const std::string name = EscapeControls(polled.name);
        if (name == nameGbk || polled.name == nameGbk) hosts.emplace_back(name, EscapeControls(polled.url));
    }
    return hosts;
}

std::string Shown(const std::string& nameGbk) {
    return gbk::ToQString(EscapeControls(nameGbk)).toStdString();
}

}  // namespace

Acknowledging::Answer Acknowledging::Acknowledge(const std::string& nameGbk, const std::string& who) {
    const std::vector<Host> hosts = EntriesNamed(m_core, nameGbk);
    if (hosts.empty()) return {false, "no host named " + Shown(nameGbk) + " in the list"};
    const std::time_t now = m_core.Settings().clock();
    bool any = false;
    for (const auto& [name, url] : hosts) {
        const AlarmRules::AckResult result = m_rules.Acknowledge(name, url, who, now);
        if (result.outcome == AlarmRules::AckOutcome::NotSaved)
            return {false, "cannot keep the acknowledgement: " + result.reason};
        any = any || result.outcome == AlarmRules::AckOutcome::Done;
    }
    if (!any) return {false, Shown(nameGbk) + " is not in fault"};
    bool allKnown = true;
    for (const auto& [host, acknowledged] : m_rules.HostsInFault()) allKnown = allKnown && acknowledged;
    if (allKnown && m_core.IsSounding()) m_core.OnSilence();
    return {true, Shown(nameGbk) + " acknowledged"};
}

Acknowledging::Answer Acknowledging::Unacknowledge(const std::string& nameGbk, const std::string& who) {
    const std::vector<Host> hosts = EntriesNamed(m_core, nameGbk);
    if (hosts.empty()) return {false, "no host named " + Shown(nameGbk) + " in the list"};
    const std::time_t now = m_core.Settings().clock();
    bool any = false;
    for (const auto& [name, url] : hosts) {
        const AlarmRules::AckResult result = m_rules.Unacknowledge(name, url, who, now);
        if (result.outcome == AlarmRules::AckOutcome::NotSaved)
            return {false, "cannot drop the acknowledgement: " + result.reason};
        any = any || result.outcome == AlarmRules::AckOutcome::Done;
    }
    if (!any) return {false, Shown(nameGbk) + " is not acknowledged"};
    return {true, Shown(nameGbk) + " no longer acknowledged"};
}
