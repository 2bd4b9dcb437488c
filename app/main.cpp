#include <curl/curl.h>

#include <QApplication>

#include "desktop/desktop_presence.h"
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
    DesktopPresence desktop;  // notification and tray; outlives the window
    CTessivDlg window;
    desktop.Attach(window);
    window.exec();
    return 0;
}
