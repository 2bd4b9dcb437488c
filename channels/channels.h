#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "channels/channels_config.h"
#include "channels/message.h"
#include "channels/sender.h"
#include "ports/alarm_observer.h"
#include "ports/round_observer.h"

// The alarm as the group robots and e-mail get it: one message per round that raised alarms, with every line
// of that round, one per round in which hosts that alarmed were normal again, and one for the all-clear, an
// escalation and the all-hosts-unreachable notice. It sees the alarms the hook sees: a pending confirmation
// raises nothing, a muted category or quiet hours only take the sound. Each host's outage runs as the
// history's: from its first faulty round to its first normal one, ended without a word by pausing or
// deleting it. Every call returns at once; the senders work on threads of their own.
class Channels final : public AlarmObserver, public RoundObserver {
public:
    // Told on the worker, at the end of a round, of the hosts that alarmed and are normal again.
    using RecoverySink = std::function<void(const std::vector<HostRecovery>& hosts)>;

    Channels() = default;
    ~Channels() override;
    Channels(const Channels&) = delete;
    Channels& operator=(const Channels&) = delete;

    // Before Start: where each message's end is told (the metrics), and where recoveries go besides.
    void SetResultSink(ChannelResultSink results) { m_results = std::move(results); }
    void SetRecoverySink(RecoverySink recoveries) { m_recoveries = std::move(recoveries); }
    // Starts what `config` turns on. Failures go to `sink`, or without one to the run pane the core offered.
    void Start(const ChannelsConfig& config, RunPaneSink sink = {}, SenderLimits limits = {});
    // Takes what `config` turns on now: a channel configured as before goes on as it is; one that changed or
    // went lets its waiting messages go out. The outages and the round being gathered are kept.
    void Restart(const ChannelsConfig& config);

    // AlarmObserver, on the core's thread.
    void Attached(const RunPaneSink& runPane) override { m_offered = runPane; }
    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override {}
    void AllClear() override;
    void AlarmPaneCleared() override {}
    // An alarm nobody dealt with, with the lines still in fault (GBK). Core thread.
    void Escalate(const std::vector<std::string>& gbkLines, TimePoint when);
    // Every host unreachable began. Core thread.
    void NetworkDown(TimePoint when);

    // RoundObserver, on the poll-round worker.
    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;

    // The channels running now, for tests and --test-notify.
    std::vector<const Channel*> Running() const;

private:
    using Host = std::pair<std::string, std::string>;  // name, URL; GBK
    struct Outage {
        TimePoint since;
        bool alarmed = false;
    };
    struct RaisedLine {
        Host host;
        std::string line;  // GBK
        TimePoint time;
    };

    void SendAll(const ChannelMessage& message);
    void Apply(const ChannelsConfig& config);
    void DropFinished();

    RunPaneSink m_offered;
    RunPaneSink m_sink;
    SenderLimits m_limits;
    ChannelResultSink m_results;
    RecoverySink m_recoveries;
    ChannelsConfig m_config;

    mutable std::mutex m_sendersMutex;
    std::vector<std::unique_ptr<ChannelSender>> m_senders;
    std::vector<std::unique_ptr<ChannelSender>> m_finishing;

    std::mutex m_roundMutex;
    std::vector<RaisedLine> m_raised;  // this round's alarms, from the core's thread
    bool m_alarmSinceClear = false;
    // The worker's own.
    std::map<Host, Outage> m_outages;
    std::set<Host> m_seen;  // this round's hosts
    std::vector<HostRecovery> m_recovered;
};
