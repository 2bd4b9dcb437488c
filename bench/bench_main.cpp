// One program for every benchmark: the window benchmarks need a QApplication, the query one libcurl's
// global set-up, both made once here.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Windows go to Qt's offscreen platform unless the caller chose one.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
