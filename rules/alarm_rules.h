#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ports/alarm_filter.h"
#include "ports/alarm_observer.h"
#include "ports/round_observer.h"
#include "rules/acknowledgements.h"
#include "rules/quiet_hours.h"

// An acknowledgement that began or ended, for the history and the metrics.
struct AcknowledgementChange {
    std::string name;  // GBK
    std::string url;   // GBK
    bool acknowledged = false;
    std::string who;  // who acknowledged; on an end, what ended it: "recovered", "another fault", or who
    std::time_t time = 0;
};

struct AlarmRulesConfig {
    int confirmRounds = 1;  // 1: every fault alarms at once
    std::optional<QuietHours> quietHours;
    std::optional<std::chrono::minutes> escalateAfter;
};

// The opt-in alarm rules: confirmation over several rounds, quiet hours, escalation of an alarm nobody deals
// with, and noticing that no host at all can be reached; and the operator's acknowledgements, which keep a
// host's known fault quiet until it changes. Unconfigured and with nothing acknowledged it lets every alarm
// through as it is.
// Rounds tell it from the worker, the core asks it and tells it on its own thread; the state both touch is
// under one lock.
class AlarmRules final : public AlarmFilter, public RoundObserver, public AlarmObserver {
public:
    // Told from the worker whether a host's faults wait for confirmation; names and URLs in GBK.
    using PendingSink = std::function<void(const std::string& name, const std::string& url, bool pending)>;

    void Configure(const AlarmRulesConfig& config);
    // Set before the first round.
    void SetPendingSink(PendingSink sink) { m_pendingSink = std::move(sink); }

    AlarmVerdict Judge(const AlarmFacts& facts, std::time_t now) override;

    // Reads the acknowledgements kept in `file` (beside Setting.ini) and keeps them there from now on.
    void KeepAcknowledgements(const std::filesystem::path& file);
    enum class AckOutcome { Done, NotInFault, NotAcknowledged, NotSaved };
    struct AckResult {
        AckOutcome outcome = AckOutcome::Done;
        std::string reason;  // when not saved, why
    };
    // Acknowledges the fault the host (name, URL, GBK) reported in its last round, by `who`.
    AckResult Acknowledge(const std::string& name, const std::string& url, const std::string& who,
                          std::time_t now);
    AckResult Unacknowledge(const std::string& name, const std::string& url, const std::string& who,
                            std::time_t now);
    bool IsAcknowledged(const std::string& name, const std::string& url) const;
    // The hosts whose last round reported an alarming fault (name, URL), and whether each is acknowledged.
    std::vector<std::pair<std::pair<std::string, std::string>, bool>> HostsInFault() const;

    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;

    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override { m_notDealtWithSince.reset(); }
    void AllClear() override { m_notDealtWithSince.reset(); }
    void AlarmPaneCleared() override { m_notDealtWithSince.reset(); }

    // What the core should do now; asked on its thread every little while and after each round, with whether
    // the alarm sounds and whether an alarm entitled to sound is still not dealt with (silenced, ended by the
    // all-clear or cleared from its pane), whatever became of its sound.
    struct Steps {
        bool silence = false;                 // quiet hours began while the alarm sounds or is not dealt with
        std::vector<std::string> escalation;  // non-empty: escalate with these lines (GBK)
        std::optional<bool> networkDown;      // every host unreachable began (true) or ended (false)
        std::vector<AcknowledgementChange> acknowledgements;  // since the last tick, in order
    };
    Steps Tick(std::time_t now, bool sounding, bool notDealtWith);

private:
    using Host = std::pair<std::string, std::string>;  // name, URL

    void EndAcknowledgement(const Host& host, const char* why, std::time_t now);

    mutable std::mutex m_mutex;
    AlarmRulesConfig m_config;
    std::map<Host, int> m_faultyRounds;  // consecutive rounds with a fault, before this one
    std::map<Host, std::vector<EntryResult::Fault>>
        m_inFault;  // each host's alarming faults of its last round
    // Alarms judged for a host whose round has not told its end yet: what an operator may already see.
    std::map<Host, std::set<FaultCategory>> m_judged;
    Acknowledgements m_acknowledged;
    std::vector<AcknowledgementChange> m_changes;
    std::size_t m_polled = 0;  // this round: enabled entries, and those unreachable
    std::size_t m_unreachable = 0;
    bool m_anyAnswered = false;
    bool m_networkDown = false;
    bool m_networkChanged = false;
    PendingSink m_pendingSink;

    // The core's thread only: since when an alarm entitled to sound is not dealt with.
    std::optional<std::time_t> m_notDealtWithSince;
    bool m_escalated = false;
};
