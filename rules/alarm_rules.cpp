#include "rules/alarm_rules.h"

#include <algorithm>

namespace {

bool Alarming(const EntryResult::Fault& fault) {
    return fault.category != FaultCategory::Unclassified;
}

bool Unreachable(const EntryResult& result) {
    return std::ranges::any_of(result.faults, [](const EntryResult::Fault& fault) {
        return fault.category == FaultCategory::Connection;
    });
}

}  // namespace

void AlarmRules::Configure(const AlarmRulesConfig& config) {
    std::lock_guard hold(m_mutex);
    m_config = config;
}

// The round tells of an entry after its analysis, so the count is of the rounds before this one.
AlarmVerdict AlarmRules::Judge(const AlarmFacts& facts, std::time_t now) {
    std::lock_guard hold(m_mutex);
    if (m_config.confirmRounds > 1 && !facts.serverName.empty()) {
        const auto found = m_faultyRounds.find({facts.serverName, facts.url});
        const int before = found == m_faultyRounds.end() ? 0 : found->second;
        if (before + 1 < m_config.confirmRounds) return AlarmVerdict::Pending;
    }
    if (m_config.quietHours && m_config.quietHours->Contains(now)) return AlarmVerdict::Quiet;
    return AlarmVerdict::Alarm;
}

void AlarmRules::EntryPolled(const EntryResult& result) {
    const Host host{result.name, result.url};
    bool confirming = false;
    bool pending = false;
    {
        std::lock_guard hold(m_mutex);
        // A stopped round leaves its tally behind; the next one starts afresh.
        if (result.position == 0) {
            m_polled = 0;
            m_unreachable = 0;
            m_anyAnswered = false;
        }
        if (!result.paused && !result.normal) return;  // cancelled: nothing learnt
        const bool faulty = !result.paused && std::ranges::any_of(result.faults, Alarming);
        if (!result.paused) {
            ++m_polled;
            if (Unreachable(result))
                ++m_unreachable;
            else
                m_anyAnswered = true;
        }
        int rounds = 0;
        if (faulty) {
            rounds = ++m_faultyRounds[host];
            std::vector<std::string>& lines = m_inFault[host];
            lines.clear();
            for (const EntryResult::Fault& fault : result.faults)
                if (Alarming(fault)) lines.push_back(fault.line);
        } else {
            m_faultyRounds.erase(host);
            m_inFault.erase(host);
        }
        confirming = m_config.confirmRounds > 1;
        pending = confirming && faulty && rounds < m_config.confirmRounds;
    }
    if (confirming && m_pendingSink) m_pendingSink(result.name, result.url, pending);
}

void AlarmRules::RoundEnded(std::size_t) {
    std::lock_guard hold(m_mutex);
    constexpr std::size_t kFewestHosts = 3;  // one or two hosts down say little about our own network
    if (!m_networkDown && m_polled >= kFewestHosts && m_unreachable == m_polled) {
        m_networkDown = true;
        m_networkChanged = true;
    } else if (m_networkDown && m_anyAnswered) {
        m_networkDown = false;
        m_networkChanged = true;
    }
    m_polled = 0;
    m_unreachable = 0;
    m_anyAnswered = false;
}

// An alarm counts from when it was entitled to sound, not from when a view made a sound of it: the core
// without a window has none.
void AlarmRules::AlarmRaised(const AlarmEvent& event) {
    if (!event.soundFlag || m_notDealtWithSince) return;
    m_notDealtWithSince = std::chrono::system_clock::to_time_t(event.time);
    m_escalated = false;
}

AlarmRules::Steps AlarmRules::Tick(std::time_t now, bool sounding, bool notDealtWith) {
    Steps steps;
    std::lock_guard hold(m_mutex);
    if (!notDealtWith) m_notDealtWithSince.reset();
    if ((sounding || notDealtWith) && m_config.quietHours && m_config.quietHours->Contains(now)) {
        steps.silence = true;
        m_notDealtWithSince.reset();
    }
    if (m_notDealtWithSince && m_config.escalateAfter && !m_escalated &&
        now - *m_notDealtWithSince >= std::chrono::seconds(*m_config.escalateAfter).count()) {
        m_escalated = true;
        for (const auto& [host, lines] : m_inFault)
            steps.escalation.insert(steps.escalation.end(), lines.begin(), lines.end());
    }
    if (std::exchange(m_networkChanged, false)) steps.networkDown = m_networkDown;
    return steps;
}
