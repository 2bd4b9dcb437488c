#include "app/acknowledging.h"

#include <algorithm>
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
    SilenceWhenAllKnown();
    return {true, Shown(nameGbk) + " acknowledged"};
}

void Acknowledging::AcknowledgeAll(const std::string& who) {
    const std::time_t now = m_core.Settings().clock();
    for (const auto& [host, acknowledged] : m_rules.HostsInFault())
        if (!acknowledged) static_cast<void>(m_rules.Acknowledge(host.first, host.second, who, now));
    SilenceWhenAllKnown();
}

// Nothing is left to wake the operator for.
void Acknowledging::SilenceWhenAllKnown() {
    const auto hosts = m_rules.HostsInFault();
    if (hosts.empty()) return;
    for (const auto& [host, acknowledged] : hosts)
        if (!acknowledged) return;
    if (m_core.IsSounding()) m_core.OnSilence();
}

Acknowledging::State Acknowledging::StateOf(const std::string& nameGbk) const {
    State state = State::Normal;
    const std::vector<Host> named = EntriesNamed(m_core, nameGbk);
    for (const auto& [host, acknowledged] : m_rules.HostsInFault()) {
        if (std::ranges::find(named, host) == named.end()) continue;
        if (acknowledged) return State::Acknowledged;
        state = State::InFault;
    }
    return state;
}

std::vector<std::pair<std::string, bool>> Acknowledging::HostsInFault() const {
    std::vector<std::pair<std::string, bool>> hosts;
    for (const auto& [host, acknowledged] : m_rules.HostsInFault())
        hosts.emplace_back(host.first, acknowledged);
    return hosts;
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
