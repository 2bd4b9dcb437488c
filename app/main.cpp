#include <curl/curl.h>

#include <QApplication>

#include "integrations/integrations.h"
#include "integrations/run_pane_sink.h"
#include "monitor/tessiv_dlg.h"

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

// Tessiv takes no options of its own; Qt's standard platform options are honoured.
int main(int argc, char** argv) {
    CurlGlobal curl;
    QApplication app(argc, argv);
    if (!curl.ok) return 1;
    // Declared before the window, which tells it of alarms and rounds until the window is gone.
    Integrations integrations;
    MonitorSettings settings;
    settings.roundObserver = &integrations;
    CTessivDlg window(std::move(settings));
    window.AddAlarmObserver(&integrations);
    integrations.Start(window.DataDir(), QueuedRunPaneSink(window));
    window.exec();
    return 0;
}
