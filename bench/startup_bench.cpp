// Start-up to first paint: the monitor window against a bare dialog with a few buttons, measured the same
// way in the same process. The baseline is registered first, so Qt's one-time costs (fonts, style, platform)
// land on it rather than on the monitor window.

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <memory>

#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QPushButton>

#include "bench/bench_support.h"
#include "monitor/tessiv_dlg.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

class PaintWatcher final : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        return QObject::eventFilter(watched, event);
    }
};

// Construct, show and run the event loop until the window's first paint event; the window is destroyed
// outside the measured time.
void MeasureFirstPaint(benchmark::State& state, const std::function<std::unique_ptr<QWidget>()>& make) {
    double residentKiB = 0;
    for (auto _ : state) {
        PaintWatcher watcher;
        const auto start = SteadyClock::now();
        std::unique_ptr<QWidget> window = make();
        window->installEventFilter(&watcher);
        window->show();
        const auto deadline = start + std::chrono::seconds(10);
        while (!watcher.painted && SteadyClock::now() < deadline) QCoreApplication::processEvents();
        const auto end = SteadyClock::now();
        if (!watcher.painted) {
            state.SkipWithError("the window was never painted");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        residentKiB = ResidentKiB();
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    state.counters["rss_MiB"] = residentKiB / 1024.0;
}

void BM_Startup_Baseline_BareDialog(benchmark::State& state) {
    MeasureFirstPaint(state, [] {
        auto dialog = std::make_unique<QDialog>();
        dialog->setWindowTitle(QStringLiteral("Baseline"));
        dialog->setFixedSize(674, 395);
        const char* captions[] = {"Start", "Exit", "Silence", "Servers", "Clear"};
        int y = 10;
        for (const char* caption : captions) {
            auto* button = new QPushButton(QString::fromLatin1(caption), dialog.get());
            button->setGeometry(564, y, 100, 34);
            y += 40;
        }
        return std::unique_ptr<QWidget>(std::move(dialog));
    });
}
BENCHMARK(BM_Startup_Baseline_BareDialog)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Startup_MonitorWindow(benchmark::State& state) {
    TempDir dir;
    // Monitoring never starts within the measurement.
    WriteShortHostList(dir.path());
    MeasureFirstPaint(state, [&dir] {
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing.startDelay = std::chrono::hours(24);
        return std::unique_ptr<QWidget>(std::make_unique<CTessivDlg>(std::move(settings)));
    });
}
BENCHMARK(BM_Startup_MonitorWindow)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
