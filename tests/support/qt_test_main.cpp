#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "monitor/alarm_sound.h"
#include "tests/support/hang_watchdog.h"
#include "tests/support/sound_servers.h"

// Window tests need the application object on the main thread before any widget exists, and libcurl set up
// once before any thread queries a host.
int main(int argc, char** argv) {
    // Headless unless told otherwise, also when the build lists the tests.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    StartHangWatchdog();
    UseTestSoundServer();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int result = 0;
    {
        QApplication app(argc, argv);
        // Fusion paints some frames and pixmaps on Qt's own thread pool, whose synchronisation
        // ThreadSanitizer cannot see; the Windows style paints everything on the calling thread.
        QApplication::setStyle(QStringLiteral("Windows"));
        testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
        if (AudioStackOpened()) {
            // As the program does: Qt Multimedia's exit handlers can deadlock. _exit (not _Exit) lets the
            // sanitizers still report and set the exit status.
            std::fflush(nullptr);
            ::_exit(result);
        }
    }
    curl_global_cleanup();
    return result;
}
