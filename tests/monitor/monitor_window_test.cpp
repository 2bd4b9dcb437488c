#include "monitor/tessiv_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "core/pane_text.h"
#include "monitor/alarm_sound.h"
#include "monitor/pane_view.h"
#include "tests/support/sound_servers.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

QPushButton* Button(CTessivDlg& window, const char* caption) {
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->text() == QString::fromUtf8(caption)) return button;
    ADD_FAILURE() << "no button " << caption;
    return nullptr;
}

QCheckBox* CheckBox(CTessivDlg& window, const char* caption) {
    for (QCheckBox* box : window.findChildren<QCheckBox*>())
        if (box->text() == QString::fromUtf8(caption)) return box;
    ADD_FAILURE() << "no check box " << caption;
    return nullptr;
}

class MonitorWindow : public testing::Test {
protected:
    // Monitoring never starts by itself and no round runs unless a test asks for it.
    MonitorSettings Settings() {
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing.startDelay = 1h;
        settings.pacing.firstRound = 1h;
        return settings;
    }

    std::string Log() { return ReadFileBytes(dir / "log.txt"); }

    TempDir dir;
};

TEST_F(MonitorWindow, OpensWithTheTemplatesControlsAndDefaults) {
    CTessivDlg window(Settings());
    EXPECT_EQ(window.windowTitle(),
              QString::fromUtf8("GPS服务器监控工具  Ver0.3   https://tessiv.example.org"));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    for (const char* caption : {"启动", "退出", "关闭声音", "管理服务器", "清空异常记录"})
        Button(window, caption);
    EXPECT_TRUE(Button(window, "启动")->isDefault());
    EXPECT_TRUE(CheckBox(window, "报警时播放声音")->isChecked());
    EXPECT_TRUE(CheckBox(window, "报警时窗口置顶")->isChecked());
    for (const char* caption :
         {"连接异常不报警", "Quarlex异常不报警", "空间不足不报警", "日志需要清理不报警"})
        EXPECT_FALSE(CheckBox(window, caption)->isChecked()) << caption;
    EXPECT_FALSE(window.windowIcon().isNull());
    // Tab order follows the template: Start, Exit, Turn off sound, run pane, ...
    EXPECT_EQ(Button(window, "启动")->nextInFocusChain(), Button(window, "退出"));
    EXPECT_EQ(Button(window, "退出")->nextInFocusChain(), Button(window, "关闭声音"));
}

TEST_F(MonitorWindow, StartWritesTheStartLineOnceAndDisablesItself) {
    MonitorSettings settings = Settings();
    settings.pacing.startDelay = 50ms;
    CTessivDlg window(settings);
    window.show();
    QTest::mouseClick(Button(window, "启动"), Qt::LeftButton);
    const std::string startLine = gbk::FromUtf8("服务器监控程序已经启动!") + "\r\n";
    EXPECT_EQ(window.Core().RunLog(), startLine);
    EXPECT_FALSE(Button(window, "启动")->isEnabled());
    QTest::qWait(150);  // timer 1 fires meanwhile and must do nothing more
    EXPECT_EQ(window.Core().RunLog(), startLine);
    EXPECT_EQ(window.findChildren<QPlainTextEdit*>()[0]->toPlainText(),
              QString::fromUtf8("服务器监控程序已经启动!\n"));
}

TEST_F(MonitorWindow, EnterStartsAndNeverCloses) {
    CTessivDlg window(Settings());
    window.show();
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_FALSE(Button(window, "启动")->isEnabled());
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.Core().RunLog(), gbk::FromUtf8("服务器监控程序已经启动!") + "\r\n");
}

TEST_F(MonitorWindow, EscapeAndExitEndTheWindow) {
    CTessivDlg escaped(Settings());
    escaped.show();
    QTest::keyClick(&escaped, Qt::Key_Escape);
    EXPECT_FALSE(escaped.isVisible());
    EXPECT_EQ(escaped.result(), QDialog::Rejected);

    CTessivDlg exited(Settings());
    exited.show();
    QTest::mouseClick(Button(exited, "退出"), Qt::LeftButton);
    EXPECT_FALSE(exited.isVisible());
}

TEST_F(MonitorWindow, AlarmWithSoundFrontWindowTitleAndLogRecord) {
    CTessivDlg window(Settings());
    ASSERT_FALSE(window.isVisible());
    window.Core().RaiseAlarm("001 <t> ------ a ------", true);
    EXPECT_TRUE(window.isVisible());  // brought to the front
    EXPECT_TRUE(window.IsSounding());
    EXPECT_EQ(window.windowTitle(), QString::fromUtf8("有服务器异常 ...  Ver0.3"));
    EXPECT_EQ(window.Core().AlarmLog(), "001 <t> ------ a ------\r\n");
    EXPECT_EQ(Log(), "001 <t> ------ a ------\r\nalarm sound ...\r\n");

    window.Core().RaiseAlarm("002 <t> ------ b ------", false);
    EXPECT_EQ(window.Core().AlarmLog(), "002 <t> ------ b ------\r\n001 <t> ------ a ------\r\n");
    EXPECT_EQ(Log(), "001 <t> ------ a ------\r\nalarm sound ...\r\n002 <t> ------ b ------\r\n");
}

TEST_F(MonitorWindow, OptionClicksChangeWhatTheNextAlarmDoes) {
    CTessivDlg window(Settings());
    window.show();
    QTest::mouseClick(CheckBox(window, "报警时播放声音"), Qt::LeftButton);
    EXPECT_FALSE(window.Core().Options().playSound);
    window.Core().RaiseAlarm("x", true);
    EXPECT_FALSE(window.IsSounding());
    EXPECT_NE(window.windowTitle(), QString::fromUtf8("有服务器异常 ...  Ver0.3"));
    EXPECT_EQ(Log(), "x\r\nalarm sound ...\r\n");  // entitled to sound, even though it did not

    QTest::mouseClick(CheckBox(window, "连接异常不报警"), Qt::LeftButton);
    QTest::mouseClick(CheckBox(window, "日志需要清理不报警"), Qt::LeftButton);
    MuteOptions mutes = window.Core().Mutes();
    EXPECT_TRUE(mutes.connection);
    EXPECT_TRUE(mutes.dbLog);
    EXPECT_FALSE(mutes.serverFault);
    EXPECT_FALSE(mutes.diskSpace);
}

TEST_F(MonitorWindow, TopOnAlarmOffLeavesAHiddenWindowHidden) {
    CTessivDlg window(Settings());
    window.show();
    QTest::mouseClick(CheckBox(window, "报警时窗口置顶"), Qt::LeftButton);
    window.hide();
    window.Core().RaiseAlarm("x", false);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.Core().AlarmLog(), "x\r\n");
}

TEST_F(MonitorWindow, ClearAndSilenceLeaveEachOthersStateAlone) {
    CTessivDlg window(Settings());
    window.show();
    window.Core().RaiseAlarm("x", true);
    QTest::mouseClick(Button(window, "清空异常记录"), Qt::LeftButton);
    EXPECT_EQ(window.Core().AlarmLog(), "");
    EXPECT_TRUE(window.IsSounding());
    EXPECT_EQ(window.windowTitle(), QString::fromUtf8("有服务器异常 ...  Ver0.3"));

    window.Core().RaiseAlarm("y", true);
    QTest::mouseClick(Button(window, "关闭声音"), Qt::LeftButton);
    EXPECT_FALSE(window.IsSounding());
    EXPECT_EQ(window.windowTitle(), QString::fromUtf8("Vantrel  Ver0.3"));
    EXPECT_EQ(window.Core().AlarmLog(), "y\r\n");
}

TEST_F(MonitorWindow, WorkerThreadCallsAreCarriedToTheWindow) {
    CTessivDlg window(Settings());
    std::atomic<bool> done{false};
    std::thread worker([&] {
        window.Core().AppendRunLog("run line");
        window.Core().RaiseAlarm("alarm line", true);
        window.Core().PollRefresh();
        done = true;
    });
    // The calls block until the window's thread has handled them, so keep its events flowing until the
    // worker is through; joining earlier would leave it waiting on us.
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(window.IsSounding());
    EXPECT_EQ(window.Core().RunLog(), "run line\r\n");
    EXPECT_EQ(window.findChildren<QPlainTextEdit*>()[0]->toPlainText(), QStringLiteral("run line\n"));
    EXPECT_EQ(Log(), "alarm line\r\nalarm sound ...\r\n");
}

TEST_F(MonitorWindow, AlarmSoundPrefersAWaveFileInTheCurrentDirectory) {
    const QString previous = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path().string()));
    AlarmSound sound;
    sound.Play();  // no sos.wav
    EXPECT_EQ(sound.Source(), AlarmSound::kBuiltInSound);
    WriteFileBytes(dir / "sos.wav", "not a wave file at all");
    sound.Play();
    EXPECT_EQ(sound.Source(), AlarmSound::kBuiltInSound);
    std::string wave =
        ReadFileBytes(std::filesystem::path(TESSIV_TEST_DATA) / ".." / ".." / "res" / "alarm.wav");
    ASSERT_FALSE(wave.empty());
    WriteFileBytes(dir / "sos.wav", wave);
    sound.Play();
    EXPECT_EQ(sound.Source(), QUrl::fromLocalFile(QString::fromStdString((dir / "sos.wav").string())));
    EXPECT_TRUE(sound.IsSounding());
    sound.Stop();
    EXPECT_FALSE(sound.IsSounding());
    QDir::setCurrent(previous);
}

// A sound server that accepts and never answers hangs the audio library in whatever thread opens it; the
// window must go on as if the sound played.
TEST_F(MonitorWindow, AHungSoundServerNeitherFreezesTheWindowNorHoldsUpItsClose) {
    HungSoundServer server;
    if (qEnvironmentVariableIsEmpty("TESSIV_TEST_SOUND"))
        qputenv("PULSE_SERVER", QByteArray::fromStdString(server.Address()));
    auto window = std::make_unique<CTessivDlg>(Settings());
    window->show();
    auto fromWorker = [&](const std::function<void()>& calls) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            calls();
            done = true;
        });
        // Blocking calls are served within a second, though the audio thread may be stuck by now.
        EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 1000));
        worker.join();
    };
    fromWorker([&] { window->Core().RaiseAlarm("first", true); });
    EXPECT_EQ(window->Core().AlarmLog(), "first\r\n");
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8(kAlarmTitle));
    EXPECT_TRUE(window->IsSounding());
    QTest::qWait(300);  // long enough for the audio thread to reach the server and hang there

    bool ticked = false;
    QTimer::singleShot(10, [&] { ticked = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticked; }, 1000)) << "the window's events stopped";
    QTest::mouseClick(Button(*window, "关闭声音"), Qt::LeftButton);
    EXPECT_FALSE(window->IsSounding());
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8(kQuietTitle));

    fromWorker([&] {
        window->Core().RaiseAlarm("second", true);
        window->Core().Silence();  // the all-clear
        window->Core().ClearAlarmPane();
    });
    EXPECT_FALSE(window->IsSounding());
    EXPECT_EQ(window->Core().AlarmLog(), "");
    EXPECT_EQ(Log(), "first\r\nalarm sound ...\r\nsecond\r\nalarm sound ...\r\n");

    QElapsedTimer clock;
    clock.start();
    window->OnExit();
    window.reset();
    EXPECT_LT(clock.elapsed(), 1500);
}

// Starting disables the focused Start button; the focus must not slide on to 退出, where one stray Space
// would end the monitor.
TEST_F(MonitorWindow, FocusStaysOffExitOnceMonitoringStarts) {
    CTessivDlg window(Settings());
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ASSERT_EQ(QApplication::focusWidget(), Button(window, "启动"));
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_FALSE(Button(window, "启动")->isEnabled());
    EXPECT_NE(QApplication::focusWidget(), Button(window, "退出"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_TRUE(window.isVisible());
}

// A top-level window of its own, so task bars and window switchers list it: not a dialog, not modal, not
// transient for another window.
TEST_F(MonitorWindow, IsAnOrdinaryTopLevelWindow) {
    CTessivDlg window(Settings());
    window.show();
    ASSERT_NE(window.windowHandle(), nullptr);
    EXPECT_EQ(window.windowHandle()->type(), Qt::Window);
    EXPECT_EQ(window.windowHandle()->modality(), Qt::NonModal);
    EXPECT_EQ(window.windowHandle()->transientParent(), nullptr);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
}

// A refresh changes only what changed, yet the pane shows exactly what showing its whole text would: with
// lines of any bytes (CR, LF, lone lead bytes, characters the cap cuts in two), long and short.
TEST(PaneViewTest, ShowsWhatAWholeRefreshWouldShow) {
    QPlainTextEdit pane;
    QPlainTextEdit whole;
    PaneView view(&pane);
    std::string text;
    std::mt19937 random(20261208);
    const std::string pieces[] = {"\r\n", "\r", "\n", "\xB5", "\xD2\xEC\xB3\xA3", "abc ", "-- 003 <t> --"};
    for (int step = 0; step < 400; ++step) {
        const int lines = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < lines; ++i) {
            std::string line;
            const int length = random() % 20 == 0 ? 2000 : static_cast<int>(random() % 12);
            for (int j = 0; j < length; ++j) line += pieces[random() % std::size(pieces)];
            PrependPaneText(text, line);
            view.Prepended(line.size() + 2);
        }
        if (random() % 50 == 0) text.clear();
        view.Show(text);
        whole.setPlainText(gbk::ToQString(text));
        ASSERT_EQ(pane.toPlainText(), whole.toPlainText()) << "step " << step;
    }
}

// An ordinary new line costs an insert at the top and the cut tail, not a new layout of the whole pane; and a
// refresh that brings more than the pane kept still shows the right lines.
TEST(PaneViewTest, AnOrdinaryLineIsInsertedNotTheWholePaneLaidOutAgain) {
    QPlainTextEdit pane;
    PaneView view(&pane);
    std::string text;
    for (int i = 0; i < 60; ++i) PrependPaneText(text, "001 <2026-12-08 10:00:00> ------ Center-A ------");
    view.Show(text);
    int replaced = 0;
    QObject::connect(pane.document(), &QTextDocument::contentsChange,
                     [&](int, int removed, int) { replaced = std::max(replaced, removed); });
    const std::string line = "002 <2026-12-08 10:01:00> ------ Center-B ------";
    PrependPaneText(text, line);
    view.Prepended(line.size() + 2);
    view.Show(text);
    EXPECT_LT(replaced, 200) << "the whole pane was replaced for one line";

    std::string burst;
    for (int i = 0; i < 150; ++i) PrependPaneText(burst, "003 <t> ------ " + std::to_string(i) + " ------");
    PrependPaneText(text, burst.substr(0, burst.size() - 2));
    view.Prepended(burst.size());
    view.Show(text);
    ASSERT_GT(burst.size(), text.size() / 2);
    QPlainTextEdit whole;
    whole.setPlainText(gbk::ToQString(text));
    EXPECT_EQ(pane.toPlainText(), whole.toPlainText());
}

// How many streams the sound server itself is playing: its own account, not what the monitor believes.
int PlayingStreams(const std::string& server) {
    // popen rather than QProcess: the race detector follows a plain spawn.
    const std::string command = "pactl --server=" + server + " list sink-inputs 2>/dev/null";
    FILE* pactl = ::popen(command.c_str(), "r");
    if (pactl == nullptr) return -1;
    std::string output;
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pactl)) output.append(buffer, got);
    if (::pclose(pactl) != 0) return -1;
    int playing = 0;
    for (std::size_t at = output.find("Corked: no"); at != std::string::npos;
         at = output.find("Corked: no", at + 1))
        ++playing;
    return playing;
}

// With a working sound server the alarm really plays and keeps playing past the sound's length; 关闭声音 and
// the all-clear end the stream at the server, not only the monitor's idea of it. One server a process: Qt's
// audio stack stays with the first one it meets.
TEST_F(MonitorWindow, AWorkingSoundServerLoopsTheAlarmUntilSilencedOrAllClear) {
    if (!qEnvironmentVariableIsEmpty("TESSIV_TEST_SOUND"))
        GTEST_SKIP() << "this run has another sound server";
    if (AudioStackOpened()) GTEST_SKIP() << "an earlier test in this process opened the audio stack";
    NullSinkSoundServer server;
    ASSERT_TRUE(server.Ready()) << "pulseaudio could not be started";
    qputenv("PULSE_SERVER", QByteArray::fromStdString(server.Address()));
    CTessivDlg window(Settings());
    window.show();
    const auto playing = [&](int streams) {
        return QTest::qWaitFor([&] { return PlayingStreams(server.Address()) == streams; }, 10000);
    };

    window.Core().RaiseAlarm("001 <t> ------ a ------", true);
    ASSERT_TRUE(playing(1)) << "the alarm never reached the sound server";
    QTest::qWait(1500);  // the built-in sound lasts 0.8 s
    EXPECT_EQ(PlayingStreams(server.Address()), 1) << "the sound did not loop";
    QTest::mouseClick(Button(window, "关闭声音"), Qt::LeftButton);
    EXPECT_TRUE(playing(0)) << "关闭声音 left the stream playing";

    window.Core().RaiseAlarm("001 <t> ------ a ------", true);
    ASSERT_TRUE(playing(1));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        window.Core().Silence();  // the all-clear, from the round
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(playing(0)) << "the all-clear left the stream playing";
}

}  // namespace
