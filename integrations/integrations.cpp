#include "integrations/integrations.h"

#include <chrono>
#include <exception>

#include "integrations/config.h"
#include "integrations/notice.h"

namespace {

void Tell(const RunPaneSink& sink, const std::string& utf8) {
    if (sink) sink(RunPaneLine(utf8));
}

}  // namespace

Integrations::~Integrations() {
    m_roundMetrics = nullptr;
    std::lock_guard hold(m_metricsMutex);
    m_metrics.reset();
}

void Integrations::Start(const IntegrationsConfig& config, RunPaneSink runPane, IntegrationLimits limits) {
    // Kept for the life of this object: the sink may hold what carries its lines to the core.
    m_sink = runPane ? std::move(runPane) : m_offered;
    m_limits = limits;
    Apply(config);
}

void Integrations::Restart(const IntegrationsConfig& config) {
    DropFinished();
    Apply(config);
}

void Integrations::Apply(const IntegrationsConfig& config) {
    m_roundMetrics = nullptr;
    {
        std::lock_guard hold(m_metricsMutex);
        ApplyMetrics(config.metrics, config.metricsServedByPage);
    }
    m_roundMetrics = m_metrics.get();

    if (m_hooks && (!config.hookCommand || *config.hookCommand != m_hooks->Command())) {
        m_hooks->Finish();
        m_finishingHooks.push_back(std::move(m_hooks));
    }
    if (config.hookCommand && !m_hooks)
        m_hooks = std::make_unique<HookRunner>(*config.hookCommand, m_sink, m_limits.hooks);
    if (m_webhook && (!config.webhook || *config.webhook != m_webhook->Config())) {
        m_webhook->Finish();
        m_finishingWebhooks.push_back(std::move(m_webhook));
    }
    if (config.webhook && !m_webhook)
        m_webhook = std::make_unique<WebhookSender>(*config.webhook, m_sink, m_limits.webhook);
}

std::function<std::string()> Integrations::MetricsScraper() const {
    return m_metrics ? m_metrics->Scraper() : std::function<std::string()>{};
}

void Integrations::ApplyMetrics(const std::optional<ListenAddress>& address, bool servedByPage) {
    if (!address) {
        m_metrics.reset();
        return;
    }
    if (servedByPage) {
        // The page's server has the address; the series stay here.
        if (!m_metrics)
            m_metrics = std::make_unique<MetricsEndpoint>(std::nullopt);
        else
            m_metrics->StopListening();
        return;
    }
    try {
        // An endpoint that moves takes its series along.
        if (!m_metrics)
            m_metrics = std::make_unique<MetricsEndpoint>(*address);
        else if (!m_metrics->Listening() || m_metrics->Address() != *address)
            m_metrics->Listen(*address);
        if (!address->loopback)
            Tell(m_sink, "metrics are exposed beyond this machine at http://" + address->Text() + "/metrics");
    } catch (const std::exception&) {
        m_metrics.reset();
        // civetweb's own message says no more than this.
        Tell(m_sink, "metrics endpoint cannot listen on " + address->Text() +
                         " (port in use, or not an address of this machine); it stays off");
    }
}

void Integrations::DropFinished() {
    std::erase_if(m_finishingHooks, [](const auto& hooks) { return hooks->Finished(); });
    std::erase_if(m_finishingWebhooks, [](const auto& webhook) { return webhook->Finished(); });
}

void Integrations::AlarmRaised(const AlarmEvent& event) {
    m_alarmSinceClear = true;
    if (!m_hooks && !m_webhook && !m_metrics) return;
    const Notice notice = AlarmNotice(event);
    if (m_hooks) m_hooks->Run(notice);
    if (m_webhook) m_webhook->Send(notice);
    if (m_metrics) {
        m_metrics->FaultRaised(notice.server, notice.category);
        m_metrics->SetAlarmActive(true);
    }
}

void Integrations::AllClear() {
    if (!m_alarmSinceClear) return;
    m_alarmSinceClear = false;
    const Notice notice = ClearNotice(std::chrono::system_clock::now());
    if (m_hooks) m_hooks->Run(notice);
    if (m_webhook) m_webhook->Send(notice);
    if (m_metrics) m_metrics->SetAlarmActive(false);
}

void Integrations::Escalate(const std::vector<std::string>& gbkLines,
                            std::chrono::system_clock::time_point when) {
    if (!m_hooks && !m_webhook) return;
    const Notice notice = EscalationNotice(gbkLines, when);
    if (m_hooks) m_hooks->Run(notice);
    if (m_webhook) m_webhook->Send(notice);
}

void Integrations::Recovered(const std::string& server, const std::string& line,
                             std::chrono::system_clock::time_point when) {
    if (!m_hooks && !m_webhook) return;
    const Notice notice = RecoveredNotice(server, line, when);
    if (m_hooks) m_hooks->Run(notice);
    if (m_webhook) m_webhook->Send(notice);
}

void Integrations::ChannelResult(const std::string& channel, bool sent) {
    std::lock_guard hold(m_metricsMutex);
    if (m_metrics) m_metrics->ChannelResult(channel, sent);
}

void Integrations::SetPending(const std::string& name, const std::string& url, bool pending) {
    if (MetricsEndpoint* metrics = m_roundMetrics.load(std::memory_order_acquire))
        metrics->SetPending(name, url, pending);
}

void Integrations::SetAcknowledged(const std::string& name, const std::string& url, bool acknowledged) {
    if (m_metrics) m_metrics->SetAcknowledged(name, url, acknowledged);
}

void Integrations::EntryPolled(const EntryResult& result) {
    if (MetricsEndpoint* metrics = m_roundMetrics.load(std::memory_order_acquire))
        metrics->EntryPolled(result);
}

void Integrations::RoundEnded(std::size_t) {
    if (MetricsEndpoint* metrics = m_roundMetrics.load(std::memory_order_acquire)) metrics->RoundEnded();
}
