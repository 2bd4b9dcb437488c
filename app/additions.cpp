#include "app/additions.h"

#include <utility>

#include "app/alarm_rules_wiring.h"
#include "app/history_recording.h"
#include "app/tessiv_conf.h"
#include "core/monitor_core.h"
#include "core/monitor_settings.h"

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
    m_integrations.Start(conf.integrations);
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
    const std::filesystem::path file = StartHistory(m_history, conf.history, core.LogDir());
    if (!file.empty() && desktop.historyKept) desktop.historyKept(file);
}

void Additions::Reload() {
    if (m_core == nullptr) return;
    const TessivConf conf = ReadConf();
    m_integrations.Restart(conf.integrations);
    m_channels.Restart(conf.channels);
    m_rules.Configure(RulesConfig(conf.alarm));
    m_core->SetStrictReports(conf.alarm.strictReports);
}

TessivConf Additions::ReadConf() const {
    TessivConf conf = ReadTessivConf(m_core->DataDir());
    // tessiv.conf's own problems are the operator's to fix: warnings, as the core's own.
    const RunPaneSink warn = m_core->RunPaneWarnings();
    for (const std::string& problem : conf.problems) warn(RunPaneLine(problem));
    return conf;
}
