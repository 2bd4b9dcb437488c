// The real window under a headless Weston with Qt's Wayland platform (run by under_weston.sh), on a private
// session bus with a tray watcher (and a notification server for the smoke test): the tray item as the tray
// reads it over D-Bus, and the alarm, its notification and the dialogs on Wayland.
#include <gtest/gtest.h>

#include <functional>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QDateTime>
#include <QTest>
#include <QTimer>

#include <thread>

#include "app/window_hooks.h"
#include "desktop/desktop_presence.h"
#include "monitor/tessiv_dlg.h"
#include "tests/desktop/bus_services.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

struct TrayState {
    QString toolTip;      // title and text
    QByteArray argb;      // the largest pixmap, ARGB32 in network byte order
    double redShare = 0;  // red / (red + green + blue) over that pixmap's visible pixels
};

QByteArray ReadPixmaps(const QDBusArgument& pixmaps) {
    QByteArray largest;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray bytes;
        pixmaps.beginStructure();
        pixmaps >> width >> height >> bytes;
        pixmaps.endStructure();
        if (bytes.size() > largest.size()) largest = bytes;
    }
    pixmaps.endArray();
    return largest;
}

double RedShare(const QByteArray& argb) {
    double red = 0;
    double all = 0;
    for (qsizetype i = 0; i + 3 < argb.size(); i += 4) {
        if (static_cast<uchar>(argb[i]) < 128) continue;
        red += static_cast<uchar>(argb[i + 1]);
        all += static_cast<uchar>(argb[i + 1]) + static_cast<uchar>(argb[i + 2]) +
               static_cast<uchar>(argb[i + 3]);
    }
    return all > 0 ? red / all : 0;
}

class OnWayland : public testing::Test {
protected:
    // Qt looks for the tray watcher once, so the bus and its services are there before the first window.
    static void SetUpTestSuite() {
        if (!MissingBusTools().empty()) return;
        bus = std::make_unique<PrivateBus>();
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus->Address().toUtf8());
        watcher = StartTrayWatcher(*bus);
    }
    static void TearDownTestSuite() {
        watcher.reset();
        bus.reset();
    }

    void SetUp() override {
        if (const std::string missing = MissingBusTools(); !missing.empty()) {
            if (InCi()) FAIL() << "missing " << missing;
            GTEST_SKIP() << "missing " << missing;
        }
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"));
        ASSERT_TRUE(bus->IsUp() && watcher->IsUp());
        probe = bus->Connect();
        settings.dataDir = dir.path();
        settings.pacing.startDelay = 1h;
        settings.pacing.firstRound = 1h;
    }

    // Reads the tray until `until` holds, for up to 10 s; the last state read.
    TrayState WaitForTray(const QString& service, const std::function<bool(const TrayState&)>& until) {
        TrayState state;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                state = ReadTray(service);
                return until(state);
            },
            10000));
        return state;
    }

    TrayState ReadTray(const QString& service) {
        TrayState state;
        auto get = [&](const char* property) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                service, QStringLiteral("/StatusNotifierItem"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
            call << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(property);
            const QDBusMessage reply = CallAndWait(probe, call);
            EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
                << property << reply.errorMessage().toStdString();
            return reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>();
        };
        const QDBusArgument toolTip = get("ToolTip");  // (s a(iiay) s s): icon name, pixmaps, title, text
        QString iconName;
        QString title;
        QString text;
        toolTip.beginStructure();
        toolTip >> iconName;
        ReadPixmaps(toolTip);
        toolTip >> title >> text;
        toolTip.endStructure();
        state.toolTip = title + QLatin1Char('\n') + text;
        state.argb = ReadPixmaps(get("IconPixmap"));
        state.redShare = RedShare(state.argb);
        return state;
    }

    static inline std::unique_ptr<PrivateBus> bus;
    static inline std::unique_ptr<MockService> watcher;
    TempDir dir;
    MonitorSettings settings;
    QDBusConnection probe{QString()};
};

TEST_F(OnWayland, TrayItemShowsTheAlarmAndBringsTheWindowBack) {
    WriteFileBytes(dir / "Setting.ini",
                   "A,http://127.0.0.1:9/a@1\r\nB,http://127.0.0.1:9/b@1\r\nC,http://127.0.0.1:9/c@0\r\n");
    DesktopPresence desktop;
    CTessivDlg window(settings);
    AttachDesktop(desktop, window);
    ASSERT_TRUE(desktop.HasTray());
    const std::vector<QVariantList> registered =
        watcher->Calls(QStringLiteral("RegisterStatusNotifierItem"), 1);
    ASSERT_EQ(registered.size(), 1u);
    const QString item = registered[0].value(0).toString();

    const TrayState quiet = ReadTray(item);
    EXPECT_TRUE(quiet.toolTip.contains(QStringLiteral("Tessiv"))) << quiet.toolTip.toStdString();
    EXPECT_TRUE(quiet.toolTip.contains(QString::fromUtf8("轮询 2 台，暂停 1 台")))
        << quiet.toolTip.toStdString();
    ASSERT_FALSE(quiet.argb.isEmpty());

    const std::string line = gbk::FromUtf8("001 <2024-05-06 06:00:00> ------ A 位置服务器 异常 ------");
    window.Core().RaiseAlarm(line, true);
    const TrayState alarm = WaitForTray(item, [](const TrayState& state) {
        return state.toolTip.contains(QString::fromUtf8("有服务器异常"));
    });
    EXPECT_TRUE(alarm.toolTip.contains(gbk::ToQString(line))) << alarm.toolTip.toStdString();
    EXPECT_NE(alarm.argb, quiet.argb);
    EXPECT_GT(alarm.redShare, 0.6);
    EXPECT_LT(quiet.redShare, 0.6);

    // A left click on the tray entry brings the window back.
    window.hide();
    QDBusMessage activate = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                                           QStringLiteral("org.kde.StatusNotifierItem"),
                                                           QStringLiteral("Activate"));
    activate << 0 << 0;
    CallAndWait(probe, activate);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isVisible(); }, 10000));

    window.OnSilence();
    const TrayState silenced =
        WaitForTray(item, [&](const TrayState& state) { return state.argb == quiet.argb; });
    EXPECT_EQ(silenced.toolTip, quiet.toolTip);
}

// With the history kept, the tool tip says since when each host is in fault, quiet or alarmed.
TEST_F(OnWayland, TrayToolTipSaysSinceWhenEachHostIsInFault) {
    DesktopPresence desktop;
    CTessivDlg window(settings);
    AttachDesktop(desktop, window);
    const auto start = std::chrono::system_clock::now() - 1min;
    desktop.OfferHistory([] {}, [&] { return std::optional<OutageStarts>(OutageStarts{{"A", start}}); });
    std::vector<QVariantList> registered = watcher->Calls(QStringLiteral("RegisterStatusNotifierItem"), 1);
    ASSERT_FALSE(registered.empty());
    const QString item = registered.back().value(0).toString();
    const QString since = QString::fromUtf8("A 自 %1 起异常")
                              .arg(QDateTime::fromSecsSinceEpoch(std::chrono::system_clock::to_time_t(start))
                                       .toString(QStringLiteral("HH:mm")));
    window.Core().RaiseAlarm("001 <t> fault", true);
    const TrayState alarm = WaitForTray(item, [](const TrayState& state) {
        return state.toolTip.contains(QString::fromUtf8("有服务器异常"));
    });
    EXPECT_TRUE(alarm.toolTip.trimmed().endsWith(QStringLiteral("001 <t> fault\n") + since))
        << alarm.toolTip.toStdString();
    window.OnSilence();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return ReadTray(item).toolTip.contains(QStringLiteral("Tessiv")); }, 10000));
    EXPECT_TRUE(ReadTray(item).toolTip.trimmed().endsWith(QString::fromUtf8("暂停 0 台\n") + since))
        << ReadTray(item).toolTip.toStdString();
}

// The smoke test: the window on Wayland through an alarm raised by a worker, its notification, the
// notification's default action with an activation token, and the server dialog.
TEST_F(OnWayland, AlarmNotificationAndDialogsOnWayland) {
    const std::unique_ptr<MockService> server = StartNotificationServer(*bus);
    ASSERT_TRUE(server->IsUp());
    DesktopPresence desktop;
    CTessivDlg window(settings);
    AttachDesktop(desktop, window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 10000));

    std::atomic<bool> done{false};
    std::thread worker([&] {
        window.Core().RaiseAlarm("001 <t> ------ wayland ------", true);
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
    worker.join();
    EXPECT_TRUE(window.IsSounding());
    EXPECT_EQ(window.windowTitle(), QString::fromUtf8("有服务器异常 ...  Ver0.3"));
    const std::vector<QVariantList> calls = server->Calls(QStringLiteral("Notify"), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].value(4).toString(), QStringLiteral("001 &lt;t&gt; ------ wayland ------"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.OpenNotification() == 1; }, 10000));

    window.hide();
    const QString notifications = QStringLiteral("org.freedesktop.Notifications");
    server->EmitSignal(notifications, QStringLiteral("ActivationToken"), QStringLiteral("us"),
                       {1u, QStringLiteral("token-from-the-server")});
    server->EmitSignal(notifications, QStringLiteral("ActionInvoked"), QStringLiteral("us"),
                       {1u, QStringLiteral("default")});
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isVisible(); }, 10000));

    bool dialogShown = false;
    QTimer::singleShot(300, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget(); dialog != nullptr && dialog != &window) {
            dialogShown = dialog->isVisible();
            dialog->close();
        }
    });
    window.OnManageServers();
    EXPECT_TRUE(dialogShown);
}

}  // namespace
