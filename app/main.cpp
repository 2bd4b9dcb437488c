#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>

#include "app/additions.h"
#include "app/headless.h"
#include "app/history_command.h"
#include "app/launch_options.h"
#include "app/monitor_command.h"
#include "app/monitor_locations.h"
#include "app/test_notify.h"
#include "app/window_hooks.h"
#include "crash/crash_dump.h"
#include "desktop/desktop_presence.h"
#include "guard/single_instance.h"
#include "monitor/alarm_sound.h"
#include "monitor/tessiv_dlg.h"
#include "service/standard_fds.h"
#include "text/gbk.h"

namespace {

// libcurl's global state is set up once, before any thread exists, and torn down after the last one ends.
struct CurlGlobal {
    CurlGlobal() { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool ok = false;
};

}  // namespace

// Tessiv's own options (--headless, --data-dir, --history, --test-notify, --help, --version) are taken here;
// with a window, Qt's standard platform options are honoured.
int main(int argc, char** argv) {
    if (!OpenClosedStandardFds()) return 1;
    if (!gbk::Available()) {
        std::fputs(
            "tessiv: this system cannot convert GBK text (the iconv GBK module is missing); "
            "install the C library's gconv modules\n",
            stderr);
        return 1;
    }
    LaunchOptions options = ParseLaunchOptions(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "tessiv: %s\n%s", options.error.c_str(), kLaunchUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kLaunchUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("tessiv %s\n", TESSIV_VERSION);
        return 0;
    }
    if (options.history)
        return RunHistoryCommand(static_cast<int>(options.rest.size()), options.rest.data(), options.dataDir);
    std::string locationError;
    MonitorSettings settings = MonitorLocations(options.dataDir, locationError);
    if (!locationError.empty()) {
        std::fprintf(stderr, "tessiv: --data-dir %s\n", locationError.c_str());
        return 2;
    }
    if (!options.command.empty()) {
        int commandArgc = 1;
        return RunMonitorCommand(commandArgc, options.rest.data(), options.command, options.commandHost,
                                 settings.dataDir);
    }
    // Both fronts leave DumpFile.dmp in the current folder if they crash.
    crashdump::Install();
    int qtArgc = static_cast<int>(options.rest.size());
    options.rest.push_back(nullptr);
    CurlGlobal curl;
    if (!curl.ok) return 1;
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
