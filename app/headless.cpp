#include "app/headless.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include <QCoreApplication>

#include "app/additions.h"
#include "app/monitor_command.h"
#include "core/monitor_core.h"
#include "guard/single_instance.h"
#include "servers/server_entry.h"
#include "service/line_writer.h"
#include "service/round_deadline.h"
#include "service/signal_watcher.h"
#include "service/stdout_view.h"
#include "service/systemd/service_notifier.h"

namespace {

// The folder, and how the last round found the hosts it polls.
std::string Status(MonitorCore& core, std::optional<std::time_t> lastRound) {
    std::string status = "monitoring the hosts of " + (core.DataDir() / "Setting.ini").string();
    std::size_t enabled = 0;
    std::size_t faulty = 0;
    {
        ServerLists::Locked lists = core.Servers().Lock();
        for (std::size_t i = 0; i < lists.m_arrServers.size(); ++i) {
            if (entry::ForPolling(lists.m_arrServers[i]).paused()) continue;
            ++enabled;
            if (i < lists.m_arrServerStates.size() && lists.m_arrServerStates[i] == kStateFalse) ++faulty;
        }
    }
    if (enabled == 0) return status + "; no host is enabled";
    if (!lastRound) return status;
    return status + "; last round ended " + FormatLocalTime(*lastRound, kPaneTimeFormat) + ", " +
           std::to_string(faulty) + " of " + std::to_string(enabled) + (enabled == 1 ? " host" : " hosts") +
           " in fault";
}

std::chrono::milliseconds RoundGap(MonitorCore& core) {
    return LongestRoundGap(core.Servers().Lock().m_arrServers.size(), core.Settings());
}

}  // namespace

int RunHeadless(int argc, char** argv, MonitorSettings settings) {
    // A reader that stalls costs lines, never the loop.
    NonBlockingFd errors(STDERR_FILENO);
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
    Additions additions;
    additions.Prepare(settings);
    MonitorCore core(std::move(settings), view);
    additions.Attach(core);
    ServeAcknowledgements(instance, *additions.Acknowledgements());

    std::optional<std::time_t> lastRound;
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
            additions.Reload();
            notifier.Ready(Status(core, lastRound));
        });
    });
    // systemd restarts a monitor whose rounds stopped, not only one whose loop did.
    QObject::connect(&core, &MonitorCore::RoundStarted, &app,
                     [&] { notifier.ExpectProgressWithin(RoundGap(core)); });
    QObject::connect(&core, &MonitorCore::RoundFinished, &app, [&] {
        // A round the stop cut short tells systemd nothing more after STOPPING=1.
        if (core.IsClosing()) return;
        notifier.Progress();
        lastRound = core.Settings().clock();
        notifier.Status(Status(core, lastRound));
    });
    core.Start();
    core.WarnIfNoHostEnabled();
    notifier.ExpectProgressWithin(RoundGap(core));
    notifier.Ready(Status(core, lastRound));
    return QCoreApplication::exec();
}
