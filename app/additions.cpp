#include "app/additions.h"

#include <utility>

#include "app/alarm_rules_wiring.h"
#include "app/history_recording.h"
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
    // tessiv.conf's own problems are the operator's to fix: warnings, as the core's own.
    m_integrations.SetProblemSink(core.RunPaneWarnings());
    // tessiv.conf lives beside Setting.ini; the other lines go to the run pane the core offered.
    m_integrations.Start(core.DataDir());
    AlarmRulesOutlets outlets = TieAlarmRules(m_rules, m_integrations);
    outlets.showAgain = std::move(desktop.showAgain);
    outlets.networkDown = std::move(desktop.networkDown);
    AttachAlarmRules(core, m_rules, core.Settings().clock, std::move(outlets));
    core.SetStrictReports(m_integrations.AlarmRulesWanted().strictReports);
    const std::filesystem::path file = StartHistory(m_history, m_integrations.HistoryWanted(), core.LogDir());
    if (!file.empty() && desktop.historyKept) desktop.historyKept(file);
}

void Additions::Reload() {
    if (m_core == nullptr) return;
    m_integrations.Restart(m_core->DataDir());
    m_rules.Configure(RulesConfig(m_integrations.AlarmRulesWanted()));
    m_core->SetStrictReports(m_integrations.AlarmRulesWanted().strictReports);
}
