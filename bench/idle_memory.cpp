// Resident memory of the idle monitor window (shown, before any alarm) against a bare Qt dialog with the
// same widgets, each measured in a fresh process of its own, side by side in one run.
//   tessiv-idle-memory [--runs N]

#include <curl/curl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>

#include "bench/bench_support.h"
#include "monitor/tessiv_dlg.h"
#include "servers/ui/dialog_units.h"

namespace {

// The monitor window's controls and font, with none of its behaviour.
std::unique_ptr<QWidget> BareDialog() {
    auto dialog = std::make_unique<QDialog>();
    QFont font = dialog->font();
    font.setPointSize(9);
    dialog->setFont(font);
    dialog->setFixedSize(dialog_units::Size(449, 243));
    const int buttons[][2] = {{376, 7}, {376, 215}, {376, 29}, {376, 75}, {376, 52}};
    const char* captions[] = {"启动", "退出", "关闭声音", "管理服务器", "清空异常记录"};
    for (int i = 0; i < 5; ++i)
        (new QPushButton(QString::fromUtf8(captions[i]), dialog.get()))
            ->setGeometry(dialog_units::Rect(buttons[i][0], buttons[i][1], 67, 21));
    for (QRect pane : {dialog_units::Rect(7, 7, 359, 94), dialog_units::Rect(7, 102, 359, 137)})
        (new QPlainTextEdit(dialog.get()))->setGeometry(pane);
    for (int y : {121, 134, 148, 162, 176, 190})
        (new QCheckBox(QStringLiteral("报警时播放声音"), dialog.get()))
            ->setGeometry(dialog_units::Rect(369, y, 73, 13));
    return dialog;
}

int MeasureOne(const char* kind, int argc, char** argv) {
    const bool monitor = std::strcmp(kind, "monitor") == 0;
    if (monitor) curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    TempDir dir;
    WriteShortHostList(dir.path());
    std::unique_ptr<QWidget> window;
    if (monitor) {
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.installCrashHandler = false;
        settings.pacing.startDelay = std::chrono::hours(24);
        window = std::make_unique<CTessivDlg>(std::move(settings));
    } else {
        window = BareDialog();
    }
    window->show();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("%.0f\n", ResidentKiB());
    return 0;
}

double RunChild(const char* kind) {
    int output[2];
    if (::pipe(output) != 0) return 0;
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::execl("/proc/self/exe", "tessiv-idle-memory", "--measure", kind, nullptr);
        ::_exit(127);
    }
    ::close(output[1]);
    char text[64] = {};
    ssize_t got = ::read(output[0], text, sizeof text - 1);
    ::close(output[0]);
    ::waitpid(child, nullptr, 0);
    return got > 0 ? std::atof(text) : 0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--measure") == 0) return MeasureOne(argv[2], argc, argv);
    int runs = argc == 3 && std::strcmp(argv[1], "--runs") == 0 ? std::max(1, std::atoi(argv[2])) : 5;
    std::vector<double> bare, monitor;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(RunChild("bare"));
        monitor.push_back(RunChild("monitor"));
    }
    const double b = Median(bare) / 1024, m = Median(monitor) / 1024;
    std::printf("idle resident memory, median of %d runs each:\n", runs);
    std::printf("  bare dialog with the same widgets: %.1f MiB\n", b);
    std::printf("  monitor window before any alarm:   %.1f MiB (%.2f x)\n", m, m / b);
    return 0;
}
