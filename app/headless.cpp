#include "app/headless.h"

#include <csignal>
#include <cstdio>
#include <string>

#include <QCoreApplication>

#include "app/alarm_rules_wiring.h"
#include "app/history_recording.h"
#include "core/monitor_core.h"
#include "guard/single_instance.h"
#include "history/history_store.h"
#include "integrations/integrations.h"
#include "polling/round_observers.h"
#include "service/signal_watcher.h"
#include "service/stdout_view.h"
#include "service/systemd/service_notifier.h"

namespace {

std::string Status(const MonitorCore& core) {
    return "monitoring the hosts of " + (core.DataDir() / "Setting.ini").string();
}

}  // namespace

int RunHeadless(int argc, char** argv, MonitorSettings settings) {
    QCoreApplication app(argc, argv);
    // One monitor per folder, a window or not.
    SingleInstance instance(settings.dataDir);
    instance.SetWindowless();
    const SingleInstance::Claim claim = instance.TakeOrHandOver({});
    if (claim == SingleInstance::Claim::Handed) {
        std::fprintf(stderr, "tessiv: the monitor window already watches the hosts of %s\n",
                     settings.dataDir.c_str());
        return 1;
    }
    if (!instance.Note().empty()) std::fprintf(stderr, "tessiv: %s\n", instance.Note().c_str());
    // Another monitor holds the folder (or its lock file is unusable): never a second one on its files.
    if (claim != SingleInstance::Claim::First && claim != SingleInstance::Claim::Unguarded) return 1;

    SignalWatcher watcher;
    ServiceNotifier notifier;
    StdoutView view;
    // Declared before the core, which tells them of alarms and rounds until it is gone.
    Integrations integrations;
    history::HistoryStore history;
    AlarmRules rules;
    RoundObservers rounds{&integrations, &history, &rules};
    settings.roundObserver = &rounds;
    MonitorCore core(std::move(settings), view);
    core.AddAlarmObserver(&integrations);
    core.AddAlarmObserver(&history);
    integrations.Start(core.DataDir());
    AttachAlarmRules(core, rules, core.Settings().clock, TieAlarmRules(rules, integrations));
    core.SetStrictReports(integrations.AlarmRulesWanted().strictReports);
    StartHistory(history, integrations.HistoryWanted(), core.LogDir());

    QObject::connect(&watcher, &SignalWatcher::StopRequested, &app, [&] {
        notifier.Stopping();
        // Cancels a running query and wakes the round's pauses; the round's worker has ended on return.
        core.Stop();
        QCoreApplication::quit();
    });
    QObject::connect(&watcher, &SignalWatcher::ReloadRequested, &app, [&] {
        // Once the stop has begun there is nothing to reload, and systemd must hear of no other state.
        if (core.IsClosing()) return;
        notifier.Reloading();
        core.Reload([&] {
            integrations.Restart(core.DataDir());
            rules.Configure(RulesConfig(integrations.AlarmRulesWanted()));
            core.SetStrictReports(integrations.AlarmRulesWanted().strictReports);
            notifier.Ready(Status(core));
        });
    });
    core.Start();
    notifier.Ready(Status(core));
    return QCoreApplication::exec();
}
