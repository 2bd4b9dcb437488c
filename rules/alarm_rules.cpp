#include "rules/alarm_rules.h"

#include <algorithm>
#include <iterator>

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
    if (!facts.serverName.empty()) m_judged[{facts.serverName, facts.url}].insert(facts.category);
    if (const Acknowledgement* known = m_acknowledged.Find({facts.serverName, facts.url})) {
        if (known->categories.contains(facts.category)) return AlarmVerdict::Acknowledged;
        // Something else is wrong with the host now: that is news.
        EndAcknowledgement({facts.serverName, facts.url}, "another fault", now);
    }
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
        m_judged.erase(host);
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
            std::vector<EntryResult::Fault>& faults = m_inFault[host];
            faults.clear();
            std::ranges::copy_if(result.faults, std::back_inserter(faults), Alarming);
        } else {
            m_faultyRounds.erase(host);
            m_inFault.erase(host);
            // A paused host tells nothing of its fault.
            if (!result.paused && m_acknowledged.Find(host) != nullptr)
                EndAcknowledgement(host, "recovered", 0);
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
        for (const auto& [host, faults] : m_inFault)
            if (m_acknowledged.Find(host) == nullptr)
                for (const EntryResult::Fault& fault : faults) steps.escalation.push_back(fault.line);
    }
    if (std::exchange(m_networkChanged, false)) steps.networkDown = m_networkDown;
    // A recovery is learnt on the worker, which has no clock of the monitor's: it counts from this tick.
    for (AcknowledgementChange& change : m_changes)
        if (change.time == 0) change.time = now;
    steps.acknowledgements = std::exchange(m_changes, {});
    return steps;
}

void AlarmRules::KeepAcknowledgements(const std::filesystem::path& file) {
    std::lock_guard hold(m_mutex);
    m_acknowledged = Acknowledgements(file);
    m_acknowledged.Load();
}

AlarmRules::AckResult AlarmRules::Acknowledge(const std::string& name, const std::string& url,
                                              const std::string& who, std::time_t now) {
    std::lock_guard hold(m_mutex);
    Acknowledgement acknowledgement{{}, who, now};
    if (const auto faults = m_inFault.find({name, url}); faults != m_inFault.end())
        for (const EntryResult::Fault& fault : faults->second)
            acknowledgement.categories.insert(fault.category);
    // An alarm shown before its round told the host's end is known too.
    if (const auto judged = m_judged.find({name, url}); judged != m_judged.end())
        acknowledgement.categories.insert(judged->second.begin(), judged->second.end());
    acknowledgement.categories.erase(FaultCategory::Unclassified);
    if (acknowledgement.categories.empty()) return {AckOutcome::NotInFault, {}};
    if (const SaveResult saved = m_acknowledged.Add({name, url}, acknowledgement); !saved)
        return {AckOutcome::NotSaved, saved.Reason()};
    m_changes.push_back({name, url, true, who, now});
    return {};
}

AlarmRules::AckResult AlarmRules::Unacknowledge(const std::string& name, const std::string& url,
                                                const std::string& who, std::time_t now) {
    std::lock_guard hold(m_mutex);
    if (m_acknowledged.Find({name, url}) == nullptr) return {AckOutcome::NotAcknowledged, {}};
    if (const SaveResult saved = m_acknowledged.Remove({name, url}); !saved)
        return {AckOutcome::NotSaved, saved.Reason()};
    m_changes.push_back({name, url, false, who, now});
    return {};
}

bool AlarmRules::IsAcknowledged(const std::string& name, const std::string& url) const {
    std::lock_guard hold(m_mutex);
    return m_acknowledged.Find({name, url}) != nullptr;
}

std::vector<std::pair<std::pair<std::string, std::string>, bool>> AlarmRules::HostsInFault() const {
    std::lock_guard hold(m_mutex);
    std::vector<std::pair<Host, bool>> hosts;
    for (const auto& [host, faults] : m_inFault)
        hosts.emplace_back(host, m_acknowledged.Find(host) != nullptr);
    for (const auto& [host, categories] : m_judged)
        if (!m_inFault.contains(host)) hosts.emplace_back(host, m_acknowledged.Find(host) != nullptr);
    return hosts;
}

// Under the lock. A file that cannot be saved keeps the old line; the next change saves again.
void AlarmRules::EndAcknowledgement(const Host& host, const char* why, std::time_t now) {
    static_cast<void>(m_acknowledged.Remove(host));
    m_changes.push_back({host.first, host.second, false, why, now});
}
