#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include <QApplication>

#include "app/additions.h"
#include "app/curl_global.h"
#include "app/headless.h"
#include "app/launch.h"
#include "app/monitor_command.h"
#include "app/test_notify.h"
#include "app/window_hooks.h"
#include "desktop/desktop_presence.h"
#include "guard/single_instance.h"
#include "monitor/alarm_sound.h"
#include "monitor/tessiv_dlg.h"

// Tessiv's own options (--headless, --data-dir, --history, --test-notify, --help, --version) are taken here;
// with a window, Qt's standard platform options are honoured.
int main(int argc, char** argv) {
    std::variant<int, Launch> begun = BeginLaunch(argc, argv, LaunchFront::Window);
    if (const int* status = std::get_if<int>(&begun)) return *status;
    LaunchOptions& options = std::get<Launch>(begun).options;
    MonitorSettings& settings = std::get<Launch>(begun).settings;
    int qtArgc = static_cast<int>(options.rest.size());
    options.rest.push_back(nullptr);
    CurlGlobal curl;
    if (options.testNotify) return RunTestNotify(settings.dataDir);
    if (options.headless) return RunHeadless(qtArgc, options.rest.data(), std::move(settings));
    QApplication app(qtArgc, options.rest.data());
    int result = 0;
    {
        // One monitor per folder: a second start brings the running one forward and leaves.
        SingleInstance instance(settings.dataDir);
        const SingleInstance::Claim claim =
            instance.TakeOrHandOver(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"));
        if (!instance.Note().empty()) std::fprintf(stderr, "tessiv: %s\n", instance.Note().c_str());
        if (claim == SingleInstance::Claim::Handed) return 0;
        // Another monitor holds the folder (or its lock file is unusable): never a second one on its files.
        if (claim != SingleInstance::Claim::First && claim != SingleInstance::Claim::Unguarded) return 1;

        // Declared before the window, which tells them of alarms and rounds until the window is gone.
        DesktopPresence desktop;  // notification and tray
        Additions additions;
        additions.Prepare(settings);
        CTessivDlg window(std::move(settings));
        window.Core().WarnIfNoHostEnabled();
        additions.Attach(window.Core(), DesktopFor(desktop, window));
        ServeAcknowledgements(instance, *additions.Acknowledgements());
        OfferAcknowledgements(window, desktop, *additions.Acknowledgements());
        QObject::connect(
            &instance, &SingleInstance::RaiseRequested, &window,
            [showAndRaise = HooksFor(window).showAndRaise](const QString& token) { showAndRaise(token); });
        QObject::connect(&window, &QDialog::finished, &app, &QCoreApplication::quit);
        window.show();
        result = QApplication::exec();
    }
    if (AudioStackOpened()) {
        // Qt Multimedia's exit handlers can deadlock or wait on a stuck audio thread; everything of ours is
        // written and closed by now.
        std::fflush(nullptr);
        ::_exit(result);
    }
    return result;
}
