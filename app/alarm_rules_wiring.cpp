#include "app/alarm_rules_wiring.h"

#include <QTimer>

#include "core/monitor_core.h"
#include "integrations/integrations.h"
#include "rules/alarm_config.h"

AlarmRulesConfig RulesConfig(const AlarmConfig& wanted) {
    AlarmRulesConfig config;
    config.confirmRounds = wanted.confirmRounds;
    if (wanted.quietHours)
        config.quietHours = QuietHours{wanted.quietHours->first, wanted.quietHours->second};
    if (wanted.escalateMinutes) config.escalateAfter = std::chrono::minutes(*wanted.escalateMinutes);
    return config;
}

AlarmRulesOutlets TieAlarmRules(AlarmRules& rules, Integrations& integrations) {
    rules.SetPendingSink([&integrations](const std::string& name, const std::string& url, bool pending) {
        integrations.SetPending(name, url, pending);
    });
    AlarmRulesOutlets outlets;
    outlets.acknowledged = [&integrations](const AcknowledgementChange& change) {
        integrations.SetAcknowledged(change.name, change.url, change.acknowledged);
    };
    outlets.escalate = [&integrations](const std::vector<std::string>& lines,
                                       std::chrono::system_clock::time_point when) {
        integrations.Escalate(lines, when);
    };
    return outlets;
}

void AttachAlarmRules(MonitorCore& core, AlarmRules& rules, Clock clock, AlarmRulesOutlets outlets,
                      std::chrono::milliseconds tick) {
    core.SetAlarmFilter(&rules);
    core.AddAlarmObserver(&rules);
    const auto check = [&core, &rules, clock = std::move(clock), outlets = std::move(outlets)] {
        const std::time_t now = clock();
        AlarmRules::Steps steps = rules.Tick(now, core.IsSounding(), core.AlarmNotDealtWith());
        if (steps.silence) core.OnSilence();
        if (!steps.escalation.empty()) {
            if (outlets.escalate)
                outlets.escalate(steps.escalation, std::chrono::system_clock::from_time_t(now));
            if (outlets.showAgain) outlets.showAgain();
        }
        if (steps.networkDown && outlets.networkDown) outlets.networkDown(*steps.networkDown);
        if (outlets.acknowledged)
            for (const AcknowledgementChange& change : steps.acknowledgements) outlets.acknowledged(change);
    };
    auto* timer = new QTimer(&core);
    QObject::connect(timer, &QTimer::timeout, &core, check);
    QObject::connect(&core, &MonitorCore::RoundFinished, &core, check);
    timer->start(tick);
}
