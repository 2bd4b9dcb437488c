#include "app/alarm_rules_wiring.h"

#include <QTimer>

#include "integrations/config.h"
#include "monitor/tessiv_dlg.h"

AlarmRulesConfig RulesConfig(const AlarmConfig& wanted) {
    AlarmRulesConfig config;
    config.confirmRounds = wanted.confirmRounds;
    if (wanted.quietHours)
        config.quietHours = QuietHours{wanted.quietHours->first, wanted.quietHours->second};
    if (wanted.escalateMinutes) config.escalateAfter = std::chrono::minutes(*wanted.escalateMinutes);
    return config;
}

void AttachAlarmRules(CTessivDlg& window, AlarmRules& rules, Clock clock, AlarmRulesOutlets outlets,
                      std::chrono::milliseconds tick) {
    window.SetAlarmFilter(&rules);
    window.AddAlarmObserver(&rules);
    const auto check = [&window, &rules, clock = std::move(clock), outlets = std::move(outlets)] {
        const std::time_t now = clock();
        AlarmRules::Steps steps = rules.Tick(now, window.IsSounding());
        if (steps.silence) window.OnSilence();
        if (!steps.escalation.empty()) {
            if (outlets.escalate)
                outlets.escalate(steps.escalation, std::chrono::system_clock::from_time_t(now));
            if (outlets.showAgain) outlets.showAgain();
        }
        if (steps.networkDown && outlets.networkDown) outlets.networkDown(*steps.networkDown);
    };
    auto* timer = new QTimer(&window);
    QObject::connect(timer, &QTimer::timeout, &window, check);
    QObject::connect(&window, &CTessivDlg::RoundFinished, &window, check);
    timer->start(tick);
}
