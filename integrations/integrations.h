#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "integrations/config.h"
#include "integrations/failure_report.h"
#include "integrations/hook_runner.h"
#include "integrations/metrics.h"
#include "integrations/webhook.h"
#include "ports/alarm_observer.h"
#include "ports/round_observer.h"

struct IntegrationLimits {
    HookLimits hooks;
    WebhookLimits webhook;
};

// What tessiv.conf turns on beside the monitor: the hook command, the webhook and the metrics endpoint.
// Before Start, or with nothing turned on, it does nothing. Created before the core, since the core tells it
// to the end, and started once the core knows its data directory. Every call returns at once.
class Integrations final : public AlarmObserver, public RoundObserver {
public:
    Integrations() = default;
    ~Integrations() override;
    Integrations(const Integrations&) = delete;
    Integrations& operator=(const Integrations&) = delete;

    // Starts what `config` turns on. Failures and the notice of a metrics endpoint reachable from elsewhere
    // go to `sink` (from any thread); without one, to the run pane the core offered when it took this
    // observer.
    void Start(const IntegrationsConfig& config, RunPaneSink sink = {}, IntegrationLimits limits = {});
    // Takes what `config` turns on now, with the sink and limits Start was given. What is configured as
    // before goes on as it is; a hook command or webhook that changed or went lets its runs and waiting
    // notices finish; the metrics keep their series, also when they move to another address. Only while no
    // round runs: the round's worker reads the metrics.
    void Restart(const IntegrationsConfig& config);

    // AlarmObserver, on the core's thread.
    void Attached(const RunPaneSink& runPane) override { m_offered = runPane; }
    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override {}
    void AllClear() override;
    void AlarmPaneCleared() override {}

    // RoundObserver, on the poll-round worker.
    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;

    // An alarm nobody dealt with: told once more to the hook and the webhook. Core thread.
    void Escalate(const std::vector<std::string>& gbkLines, std::chrono::system_clock::time_point when);
    // A host that alarmed is normal again (`server` UTF-8): told to the hook and the webhook with category
    // "recovered". Worker thread, at a round's end.
    void Recovered(const std::string& server, const std::string& line,
                   std::chrono::system_clock::time_point when);
    // A message to a channel was delivered or given up, for the metrics. Any thread.
    void ChannelResult(const std::string& channel, bool sent);
    // Whether an entry's faults wait for confirmation, for the metrics. Worker thread.
    void SetPending(const std::string& name, const std::string& url, bool pending);
    // Whether an operator acknowledged an entry's fault, for the metrics. Core thread.
    void SetAcknowledged(const std::string& name, const std::string& url, bool acknowledged);

    // What runs, for tests and the benchmark; null when off.
    const HookRunner* Hooks() const { return m_hooks.get(); }
    const WebhookSender* Webhook() const { return m_webhook.get(); }
    const MetricsEndpoint* Metrics() const { return m_metrics.get(); }
    // The scrape's text while the metrics are on; empty otherwise. Core thread.
    std::function<std::string()> MetricsScraper() const;

private:
    void Apply(const IntegrationsConfig& config);
    void ApplyMetrics(const std::optional<ListenAddress>& address, bool servedByPage);
    // Lets go of the runners that finished after a reload took them off.
    void DropFinished();

    RunPaneSink m_offered;
    RunPaneSink m_sink;
    std::unique_ptr<MetricsEndpoint> m_metrics;
    std::unique_ptr<HookRunner> m_hooks;
    std::unique_ptr<WebhookSender> m_webhook;
    // Replaced by a reload, finishing what they had; ended at once with this object.
    std::vector<std::unique_ptr<HookRunner>> m_finishingHooks;
    std::vector<std::unique_ptr<WebhookSender>> m_finishingWebhooks;
    std::atomic<MetricsEndpoint*> m_roundMetrics{nullptr};  // what the worker sees of m_metrics
    std::mutex m_metricsMutex;  // held while m_metrics changes, and by the channels' threads using it
    // The round reports an all-clear after every round without a fault; only the first after an alarm counts.
    bool m_alarmSinceClear = false;
    IntegrationLimits m_limits;
};
