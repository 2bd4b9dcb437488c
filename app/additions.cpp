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
    // tessiv.conf lives beside Setting.ini; the additions' other lines go to the run pane the core offered.
    const TessivConf conf = ReadConf();
    m_integrations.Start(conf.integrations);
    AlarmRulesOutlets outlets = TieAlarmRules(m_rules, m_integrations);
    outlets.showAgain = std::move(desktop.showAgain);
    outlets.networkDown = std::move(desktop.networkDown);
    m_rules.Configure(RulesConfig(conf.alarm));
    AttachAlarmRules(core, m_rules, core.Settings().clock, std::move(outlets));
    core.SetStrictReports(conf.alarm.strictReports);
    core.SetParallel(conf.polling.parallel);
    const std::filesystem::path file = StartHistory(m_history, conf.history, core.LogDir());
    if (!file.empty() && desktop.historyKept) desktop.historyKept(file);
}

void Additions::Reload() {
    if (m_core == nullptr) return;
    const TessivConf conf = ReadConf();
    m_integrations.Restart(conf.integrations);
    m_rules.Configure(RulesConfig(conf.alarm));
    m_core->SetStrictReports(conf.alarm.strictReports);
    m_core->SetParallel(conf.polling.parallel);
}

TessivConf Additions::ReadConf() const {
    TessivConf conf = ReadTessivConf(m_core->DataDir());
    // tessiv.conf's own problems are the operator's to fix: warnings, as the core's own.
    const RunPaneSink warn = m_core->RunPaneWarnings();
    for (const std::string& problem : conf.problems) warn(RunPaneLine(problem));
    return conf;
}
