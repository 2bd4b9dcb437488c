#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "desktop/desktop_presence.h"
#include "integrations/integrations.h"
#include "integrations/run_pane_sink.h"
#include "monitor/alarm_sound.h"
#include "monitor/tessiv_dlg.h"
#include "servers/file_locations.h"
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
    // An installed Tessiv cannot write beside its executable: its files live in the user's XDG folders.
    UserFolders folders =
        PrepareUserFolders([](const char* name) -> const char* { return std::getenv(name); });
    settings.dataDir = folders.config;
    settings.logDir = folders.state;
    if (!folders.error.empty())
        std::fprintf(stderr, "tessiv: %s; Setting.ini and log.txt stay beside the executable\n",
                     folders.error.c_str());
#endif
    return settings;
}

}  // namespace

// Tessiv takes no options of its own; Qt's standard platform options are honoured.
int main(int argc, char** argv) {
    if (!gbk::Available()) {
        std::fputs(
            "tessiv: this system cannot convert GBK text (the iconv GBK module is missing); "
            "install the C library's gconv modules\n",
            stderr);
        return 1;
    }
    CurlGlobal curl;
    QApplication app(argc, argv);
    if (!curl.ok) return 1;
    int result = 0;
    {
        // Declared before the window, which tells them of alarms and rounds until the window is gone.
        DesktopPresence desktop;  // notification and tray
        Integrations integrations;
        MonitorSettings settings = FileLocations();
        settings.roundObserver = &integrations;
        CTessivDlg window(std::move(settings));
        desktop.Attach(window);
        window.AddAlarmObserver(&integrations);
        // tessiv.conf lives beside Setting.ini.
        integrations.Start(window.DataDir(), QueuedRunPaneSink(window));
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
