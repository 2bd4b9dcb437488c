#include "integrations/integrations.h"

#include <chrono>
#include <exception>

#include "integrations/config.h"
#include "integrations/notice.h"

Integrations::~Integrations() {
    m_roundMetrics = nullptr;
}

void Integrations::Start(const std::filesystem::path& dir, RunPaneSink runPane, IntegrationLimits limits) {
    // Kept for the life of this object: the sink may hold what carries its lines to the window.
    m_sink = runPane ? std::move(runPane) : m_offered;
    m_limits = limits;
    const RunPaneSink& sink = m_sink;
    IntegrationsConfig config = ReadIntegrationsConfig(dir);
    const auto tell = [&sink](const std::string& utf8) {
        if (sink) sink(RunPaneLine(utf8));
    };
    for (const std::string& problem : config.problems) tell(problem);
    m_alarm = config.alarm;
    m_history = config.history;

    if (config.metrics) {
        try {
            m_metrics = std::make_unique<MetricsEndpoint>(*config.metrics);
            if (!config.metrics->loopback)
                tell("metrics are exposed beyond this machine at http://" + config.metrics->Text() +
                     "/metrics");
        } catch (const std::exception&) {
            // civetweb's own message says no more than this.
            tell("metrics endpoint cannot listen on " + config.metrics->Text() +
                 " (port in use, or not an address of this machine); it stays off");
        }
    }
    if (config.hookCommand) m_hooks = std::make_unique<HookRunner>(*config.hookCommand, sink, limits.hooks);
    if (config.webhook) m_webhook = std::make_unique<WebhookSender>(*config.webhook, sink, limits.webhook);
    m_roundMetrics = m_metrics.get();
}

void Integrations::Restart(const std::filesystem::path& dir) {
    m_roundMetrics = nullptr;
    // The old endpoint lets its port go before the new one binds it.
    m_metrics.reset();
    m_hooks.reset();
    m_webhook.reset();
    m_alarm = {};
    Start(dir, m_sink, m_limits);
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

void Integrations::SetPending(const std::string& name, const std::string& url, bool pending) {
    if (MetricsEndpoint* metrics = m_roundMetrics.load(std::memory_order_acquire))
        metrics->SetPending(name, url, pending);
}

void Integrations::EntryPolled(const EntryResult& result) {
    if (MetricsEndpoint* metrics = m_roundMetrics.load(std::memory_order_acquire))
        metrics->EntryPolled(result);
}

void Integrations::RoundEnded(std::size_t) {
    if (MetricsEndpoint* metrics = m_roundMetrics.load(std::memory_order_acquire)) metrics->RoundEnded();
}
