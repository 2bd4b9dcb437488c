// Where the alarm meets what hangs off it in the window: observers that fail, a minimised window, and the
// tray or notification acting while the server list is open. The facts an alarm carries are tested on the
// core.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QWindow>

#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/window_hooks.h"
#include "ports/alarm_observer.h"
#include "servers/ui/server_list_dialog.h"
#include "tests/support/monitor_fixture.h"

namespace {

struct RecordingObserver final : AlarmObserver {
    void AlarmRaised(const AlarmEvent& event) override { raised.push_back(event); }
    void AlarmSilenced() override {}
    void AllClear() override { ++allClears; }
    void AlarmPaneCleared() override {}
    std::vector<AlarmEvent> raised;
    int allClears = 0;
};

struct ThrowingObserver final : AlarmObserver {
    void AlarmRaised(const AlarmEvent&) override { throw std::runtime_error("observer broke"); }
    void AlarmSilenced() override {}
    void AllClear() override { throw std::logic_error("observer broke again"); }
    void AlarmPaneCleared() override {}
};

// Runs `calls` on a thread of its own, as the poll round does, while the window keeps handling events.
void FromWorker(const std::function<void()>& calls) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        calls();
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
    worker.join();
}

// Sees what a window manager sees of the windows' state requests: the client messages sent to the root.
class WindowManagerView {
public:
    WindowManagerView() : m_connection(xcb_connect(nullptr, nullptr)) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, root, XCB_CW_EVENT_MASK, &events);
        m_state = Atom("_NET_WM_STATE");
        m_attention = Atom("_NET_WM_STATE_DEMANDS_ATTENTION");
    }
    ~WindowManagerView() { xcb_disconnect(m_connection); }
    WindowManagerView(const WindowManagerView&) = delete;
    WindowManagerView& operator=(const WindowManagerView&) = delete;

    // Whether `window` asked for the demands-attention state since the last call.
    bool AskedForAttention(WId window) {
        bool asked = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                const uint32_t* data = message->data.data32;
                if (message->window == window && message->type == m_state && data[0] == 1 &&
                    (data[1] == m_attention || data[2] == m_attention))
                    asked = true;
            }
            std::free(event);
        }
        return asked;
    }

private:
    xcb_atom_t Atom(const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
            nullptr);
        const xcb_atom_t atom = reply != nullptr ? reply->atom : 0;
        std::free(reply);
        return atom;
    }

    xcb_connection_t* m_connection;
    xcb_atom_t m_state = 0;
    xcb_atom_t m_attention = 0;
};

using AlarmSeams = MonitorFixture;

// An observer that throws is reported once; the alarm is still recorded, the others are still told, and the
// all-clear still ends the sound.
TEST_F(AlarmSeams, AThrowingObserverCostsNeitherTheRecordNorTheOthersNorTheProcess) {
    ThrowingObserver thrower;
    RecordingObserver others;
    Open();
    window->Core().AddAlarmObserver(&thrower);
    window->Core().AddAlarmObserver(&others);
    const AlarmFacts facts{"A", "http://192.0.2.1/s", FaultCategory::ServerFault};
    FromWorker([&] {
        window->Core().RaiseAlarm("001 <t> ------ A QUARLEX服务器 ------", true, facts);
        window->Core().RaiseAlarm("001 <t> ------ A again ------", true, facts);
        window->Core().Silence();
    });
    EXPECT_EQ(Log(),
              "001 <t> ------ A QUARLEX服务器 ------\r\nalarm sound ...\r\n"
              "001 <t> ------ A again ------\r\nalarm sound ...\r\n");
    EXPECT_EQ(others.raised.size(), 2u);
    EXPECT_EQ(others.allClears, 1);
    EXPECT_FALSE(window->IsSounding());
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8(kQuietTitle));
    const QString pane = RunPane();
    EXPECT_EQ(pane.count(QString::fromUtf8(kObserverFailedText)), 1) << pane.toStdString();
    EXPECT_TRUE(pane.contains(QStringLiteral("observer broke"))) << pane.toStdString();
}

// A minimised monitor stays minimised on an alarm and asks for attention instead; the tray's and the
// notification's way back still restores it.
TEST_F(AlarmSeams, AnAlarmLeavesAMinimisedWindowMinimisedAndAsksForAttention) {
    Open();
    window->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->isMinimized(); }, 5000));
    // The operator works in another program meanwhile.
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    std::unique_ptr<WindowManagerView> x11;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) x11 = std::make_unique<WindowManagerView>();
    window->Core().RaiseAlarm("001 <t> ------ A QUARLEX服务器 ------", true);
    QTest::qWait(100);
    EXPECT_TRUE(window->windowHandle()->windowStates().testFlag(Qt::WindowMinimized));
    EXPECT_TRUE(window->isMinimized());
    if (x11) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return x11->AskedForAttention(window->winId()); }, 5000))
            << "no _NET_WM_STATE_DEMANDS_ATTENTION request reached the window manager";
    }
    HooksFor(*window).showAndRaise(QString());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isMinimized(); }, 5000));
}

// With the server list open, the tray's and the notification's actions still act: 关闭声音 silences,
// 显示窗口 shows the monitor with the list above it, 退出 closes the list as its close button would (saving
// it) and then the monitor.
TEST_F(AlarmSeams, TrayActionsWhileTheServerListIsOpen) {
    Open({"A,http://192.0.2.1/s@1", "B,http://192.0.2.2/s@1"});
    const WindowHooks hooks = HooksFor(*window);
    QSignalSpy finished(window.get(), &QDialog::finished);
    bool listClosedFirst = false;
    ModalDriver driver([&](CServerInfodlg& list) {
        window->Core().RaiseAlarm("001 <t> ------ A QUARLEX服务器 ------", true);
        hooks.silence();
        EXPECT_FALSE(window->IsSounding());
        hooks.showAndRaise(QString());
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(list.isVisible());
        EXPECT_EQ(QApplication::activeModalWidget(), &list);
        auto* table = list.findChild<QTableWidget*>(QStringLiteral("m_listServers"));
        table->item(1, 0)->setCheckState(Qt::Checked);
        QTest::mouseClick(list.findChild<QPushButton*>(QStringLiteral("pauseButton")), Qt::LeftButton);
        QObject::connect(&list, &QDialog::finished, [&] { listClosedFirst = finished.isEmpty(); });
        hooks.exit();
    });
    ManageServers(driver);
    EXPECT_TRUE(driver.messages().isEmpty());
    EXPECT_TRUE(listClosedFirst);
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({"A,http://192.0.2.1/s@1", "B,http://192.0.2.2/s@0"}));
}

}  // namespace
