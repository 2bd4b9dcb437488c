#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <QApplication>

#include "app/alarm_rules_wiring.h"
#include "app/history_command.h"
#include "app/history_recording.h"
#include "app/history_wiring.h"
#include "app/window_hooks.h"
#include "core/single_instance.h"
#include "desktop/desktop_presence.h"
#include "history/history_store.h"
#include "integrations/integrations.h"
#include "locations/file_locations.h"
#include "locations/module_dir.h"
#include "monitor/alarm_sound.h"
#include "monitor/tessiv_dlg.h"
#include "polling/round_observers.h"
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

MonitorSettings FileLocations() {
    MonitorSettings settings;
#ifdef TESSIV_USER_FILES
    // An installed Tessiv cannot write beside its executable: its files live in the user's XDG folders. A
    // folder that cannot be used costs only the files that belong in it.
    UserFolders folders =
        PrepareUserFolders([](const char* name) -> const char* { return std::getenv(name); });
    settings.dataDir = folders.config;
    settings.logDir = folders.state;
    if (!folders.configError.empty())
        std::fprintf(stderr, "tessiv: %s; Setting.ini stays beside the executable\n",
                     folders.configError.c_str());
    if (!folders.stateError.empty())
        std::fprintf(stderr, "tessiv: %s; log.txt stays beside Setting.ini\n", folders.stateError.c_str());
#endif
    // Settled here, not by the window, so that the folder is ours before the window reads Setting.ini.
    if (settings.dataDir.empty()) settings.dataDir = GetModuleDir();
    return settings;
}

}  // namespace

// Tessiv's one option of its own, `--history`, prints the history without a window; otherwise Qt's standard
// platform options are honoured.
int main(int argc, char** argv) {
    if (!gbk::Available()) {
        std::fputs(
            "tessiv: this system cannot convert GBK text (the iconv GBK module is missing); "
            "install the C library's gconv modules\n",
            stderr);
        return 1;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--history") return RunHistoryCommand(argc - 2, argv + 2);
    CurlGlobal curl;
    QApplication app(argc, argv);
    if (!curl.ok) return 1;
    int result = 0;
    {
        MonitorSettings settings = FileLocations();
        // One monitor per folder: a second start brings the running one forward and leaves.
        SingleInstance instance(settings.dataDir);
        const SingleInstance::Claim claim =
            instance.TakeOrHandOver(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"));
        if (!instance.Note().empty()) std::fprintf(stderr, "tessiv: %s\n", instance.Note().c_str());
        if (claim == SingleInstance::Claim::Handed) return 0;

        // Declared before the window, which tells them of alarms and rounds until the window is gone.
        DesktopPresence desktop;  // notification and tray
        Integrations integrations;
        history::HistoryStore history;
        AlarmRules rules;
        RoundObservers rounds{&integrations, &history, &rules};
        settings.roundObserver = &rounds;
        CTessivDlg window(std::move(settings));
        AttachDesktop(desktop, window);
        window.AddAlarmObserver(&integrations);
        window.AddAlarmObserver(&history);
        // tessiv.conf lives beside Setting.ini; its lines go to the run pane the window offered.
        integrations.Start(window.DataDir());
        rules.Configure(RulesConfig(integrations.AlarmRulesWanted()));
        rules.SetPendingSink([&integrations](const std::string& name, const std::string& url, bool pending) {
            integrations.SetPending(name, url, pending);
        });
        AttachAlarmRules(
            window, rules, SystemClock(),
            {[&integrations](const std::vector<std::string>& lines,
                             std::chrono::system_clock::time_point when) {
                 integrations.Escalate(lines, when);
             },
             [&desktop] { desktop.Escalate(); }, [&desktop](bool down) { desktop.SetNetworkDown(down); }});
        // The history window and the "since when" of the tray and the notification, while the history is
        // kept.
        if (const auto file = StartHistory(history, window.DataDir(), window.LogDir()); !file.empty()) {
            AttachHistory(window, desktop, [file] {
                std::string error;
                return history::HistoryReader::Open(file, error);
            });
        }
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
