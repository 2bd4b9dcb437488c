#include "app/additions.h"

#include <optional>
#include <utility>

#include <QTimer>

#include "app/alarm_rules_wiring.h"
#include "app/history_recording.h"
#include "app/tessiv_conf.h"
#include "core/monitor_core.h"
#include "core/monitor_settings.h"
#include "integrations/failure_report.h"
#include "servers/server_entry.h"
#include "text/data_text.h"

void Additions::Prepare(MonitorSettings& settings) {
    settings.roundObserver = &m_rounds;
}

void Additions::Attach(MonitorCore& core, AdditionsDesktop desktop) {
    m_core = &core;
    core.AddAlarmObserver(desktop.alarms);
    core.AddAlarmObserver(&m_integrations);
    core.AddAlarmObserver(&m_history);
    core.AddAlarmObserver(&m_channels);
    // tessiv.conf lives beside Setting.ini; the additions' other lines go to the run pane the core offered.
    const TessivConf conf = ReadConf();
    const std::filesystem::path file = StartHistory(m_history, conf.history, core.LogDir());
    m_web.Start([sink = core.RunPaneNotices()](const std::string& utf8) { sink(RunPaneLine(utf8)); }, file);
    ApplyServers(conf, false);
    m_channels.SetResultSink(
        [this](const std::string& channel, bool sent) { m_integrations.ChannelResult(channel, sent); });
    m_channels.SetRecoverySink([this](const std::vector<HostRecovery>& hosts) {
        for (const HostRecovery& host : hosts)
            m_integrations.Recovered(
                host.server,
                "恢复正常，异常持续 " +
                    DurationText(std::chrono::duration_cast<std::chrono::seconds>(host.until - host.since)),
                host.until);
    });
    m_channels.Start(conf.channels);
    AlarmRulesOutlets outlets = TieAlarmRules(m_rules, m_integrations);
    outlets.escalate = [this, escalate = std::move(outlets.escalate)](
                           const std::vector<std::string>& lines,
                           std::chrono::system_clock::time_point when) {
        if (escalate) escalate(lines, when);
        m_channels.Escalate(lines, when);
    };
    outlets.showAgain = std::move(desktop.showAgain);
    outlets.networkDown = [this, networkDown = std::move(desktop.networkDown)](bool down) {
        if (networkDown) networkDown(down);
        if (down) m_channels.NetworkDown(std::chrono::system_clock::now());
    };
    m_rules.Configure(RulesConfig(conf.alarm));
    m_rules.KeepAcknowledgements(core.DataDir() / kAcknowledgedFileName);
    outlets.acknowledged = [&history = m_history,
                            told = std::move(outlets.acknowledged)](const AcknowledgementChange& change) {
        told(change);
        history.Acknowledgement(change.name, change.url, change.acknowledged, change.who,
                                std::chrono::system_clock::from_time_t(change.time));
    };
    m_acknowledging = std::make_unique<Acknowledging>(core, m_rules);
    AttachAlarmRules(core, m_rules, core.Settings().clock, std::move(outlets));
    core.SetStrictReports(conf.alarm.strictReports);
    core.SetParallel(conf.polling.parallel);
    if (!file.empty() && desktop.historyKept) desktop.historyKept(file, [this] { return HostsNow(); });
    // The list is read when the core starts, once the event loop runs; then after each round.
    QObject::connect(&core, &MonitorCore::RoundFinished, &core, [this] { PublishHosts(); });
    QTimer::singleShot(0, &core, [this] { PublishHosts(); });
}

void Additions::Reload() {
    if (m_core == nullptr) return;
    const TessivConf conf = ReadConf();
    ApplyServers(conf, true);
    m_channels.Restart(conf.channels);
    m_rules.Configure(RulesConfig(conf.alarm));
    m_core->SetStrictReports(conf.alarm.strictReports);
    m_core->SetParallel(conf.polling.parallel);
    PublishHosts();
}

void Additions::ApplyServers(const TessivConf& conf, bool restart) {
    IntegrationsConfig integrations = conf.integrations;
    integrations.metricsServedByPage = conf.web.listen && conf.web.listen == conf.integrations.metrics;
    const std::optional<ListenAddress> page = m_web.Listening();
    if (page && page != conf.web.listen) m_web.Configure({}, {});
    if (restart)
        m_integrations.Restart(integrations);
    else
        m_integrations.Start(integrations);
    m_web.Configure(conf.web, integrations.metricsServedByPage ? m_integrations.MetricsScraper()
                                                               : web::StatusWeb::MetricsScrape{});
}

void Additions::PublishHosts() {
    m_web.Publish(ListedHosts());
}

history::HostsNow Additions::HostsNow() const {
    history::HostsNow now;
    for (const web::HostView& host : m_web.Now(ListedHosts()).hosts)
        now[{host.gbkName, host.gbkUrl}] =
            history::HostNow{host.acknowledged ? host.stateText + "（已知晓）" : host.stateText, host.since};
    return now;
}

std::vector<web::ListedHost> Additions::ListedHosts() const {
    std::vector<web::ListedHost> listed;
    for (const std::string& line : m_core->Servers().Entries()) {
        const entry::PollView view = entry::ForPolling(line);
        web::ListedHost host{EscapeControls(view.name), EscapeControls(view.url), view.paused(),
                             std::nullopt};
        if (host.paused) host.maintenanceUntil = m_core->MaintenanceList().EndOf(line);
        host.acknowledged = m_rules.IsAcknowledged(host.name, host.url);
        listed.push_back(std::move(host));
    }
    return listed;
}

TessivConf Additions::ReadConf() const {
    TessivConf conf = ReadTessivConf(m_core->DataDir());
    // tessiv.conf's own problems are the operator's to fix: warnings, as the core's own.
    const RunPaneSink warn = m_core->RunPaneWarnings();
    for (const std::string& problem : conf.problems) warn(RunPaneLine(problem));
    return conf;
}
