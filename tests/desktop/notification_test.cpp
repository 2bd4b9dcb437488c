// The alarm notification against a real notification server (python3-dbusmock's notification_daemon) on a
// private bus, driven by the real window.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDateTime>
#include <QPushButton>
#include <QTest>

#include "app/window_hooks.h"
#include "desktop/desktop_notifier.h"
#include "monitor/tessiv_dlg.h"
#include "tests/desktop/bus_services.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

const QString kNotify = QStringLiteral("Notify");
const QString kClose = QStringLiteral("CloseNotification");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// Notify's arguments: app name, replaces id, icon, summary, body, actions, hints, expiry.
struct NotifyCall {
    explicit NotifyCall(const QVariantList& a)
        : app(a.value(0).toString()),
          replacesId(a.value(1).toUInt()),
          icon(a.value(2).toString()),
          summary(a.value(3).toString()),
          body(a.value(4).toString()),
          actions(a.value(5).toStringList()),
          hints(qdbus_cast<QVariantMap>(a.value(6))),
          expire(a.value(7).toInt()) {}
    QString app;
    uint replacesId;
    QString icon, summary, body;
    QStringList actions;
    QVariantMap hints;
    int expire;
};

class DesktopNotification : public testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = MissingBusTools(); !missing.empty()) {
            if (InCi()) FAIL() << "missing " << missing;
            GTEST_SKIP() << "missing " << missing;
        }
        ASSERT_TRUE(bus.IsUp());
        settings.dataDir = dir.path();
        settings.pacing.startDelay = 1h;
        settings.pacing.firstRound = 1h;
        window = std::make_unique<CTessivDlg>(settings);
        notifier = std::make_unique<DesktopNotifier>(HooksFor(*window), bus.Connect());
        window->Core().AddAlarmObserver(notifier.get());
    }

    void StartServer() {
        server = StartNotificationServer(bus);
        ASSERT_TRUE(server->IsUp());
    }

    std::vector<NotifyCall> WaitForNotify(std::size_t count) {
        std::vector<NotifyCall> calls;
        for (const QVariantList& arguments : server->Calls(kNotify, count)) calls.emplace_back(arguments);
        EXPECT_GE(calls.size(), count);
        return calls;
    }

    // The server's answer may reach the window's thread after the server's next signal; a real server's
    // actions follow a person's click, long after.
    void WaitForOpen(uint id) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return notifier->OpenNotification() == id; }, 10000));
    }

    void Emit(const char* signal, const QString& signature, const QVariantList& arguments) {
        server->EmitSignal(kInterface, QString::fromLatin1(signal), signature, arguments);
    }

    TempDir dir;
    PrivateBus bus;
    MonitorSettings settings;
    std::unique_ptr<MockService> server;
    std::unique_ptr<CTessivDlg> window;
    std::unique_ptr<DesktopNotifier> notifier;
};

TEST_F(DesktopNotification, OneNotificationPerAlarmReplacedUntilSilenceOrAllClear) {
    StartServer();
    window->Core().RaiseAlarm(gbk::FromUtf8("001 <2024-05-06 06:00:00> ------ A&B <主机> 异常 ------"),
                              false);
    std::vector<NotifyCall> calls = WaitForNotify(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].app, QStringLiteral("Tessiv"));
    EXPECT_EQ(calls[0].replacesId, 0u);
    EXPECT_EQ(calls[0].icon, QStringLiteral("org.example.Tessiv"));
    EXPECT_EQ(calls[0].summary, QString::fromUtf8("有服务器异常"));
    EXPECT_EQ(calls[0].body,
              QString::fromUtf8("001 &lt;2024-05-06 06:00:00&gt; ------ A&amp;B &lt;主机&gt; 异常 ------"));
    EXPECT_EQ(calls[0].actions, (QStringList{QStringLiteral("default"), QString::fromUtf8("显示窗口"),
                                             QStringLiteral("silence"), QString::fromUtf8("关闭声音")}));
    EXPECT_EQ(calls[0].hints.value(QStringLiteral("urgency")).metaType().id(), QMetaType::UChar);
    EXPECT_EQ(calls[0].hints.value(QStringLiteral("urgency")).toInt(), 1);  // this alarm does not sound
    EXPECT_EQ(calls[0].hints.value(QStringLiteral("desktop-entry")).toString(),
              QStringLiteral("org.example.Tessiv"));
    EXPECT_EQ(calls[0].expire, -1);

    // A sounding alarm replaces it, critical and kept until dealt with, newest line first.
    window->Core().RaiseAlarm("002 <t> ------ second ------", true);
    calls = WaitForNotify(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].replacesId, 1u);
    EXPECT_EQ(calls[1].body, QStringLiteral("002 &lt;t&gt; ------ second ------\n") + calls[0].body);
    EXPECT_EQ(calls[1].hints.value(QStringLiteral("urgency")).toInt(), 2);
    EXPECT_EQ(calls[1].expire, 0);

    // A later alarm without sound leaves it critical while the alarm still sounds.
    window->Core().RaiseAlarm("003 <t> ------ quiet ------", false);
    calls = WaitForNotify(3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].replacesId, 1u);
    EXPECT_EQ(calls[2].hints.value(QStringLiteral("urgency")).toInt(), 2);
    EXPECT_EQ(calls[2].expire, 0);

    // 关闭声音 closes it.
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->text() == QString::fromUtf8("关闭声音")) button->click();
    std::vector<QVariantList> closes = server->Calls(kClose, 1);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].value(0).toUInt(), 1u);

    // The next alarms open a new one; a burst becomes one notification, replaced, with the newest five lines.
    for (int i = 3; i <= 9; ++i) window->Core().RaiseAlarm("00" + std::to_string(i) + " <t> fault", true);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            calls = WaitForNotify(4);
            return calls.back().body.startsWith(QStringLiteral("009"));
        },
        10000));
    EXPECT_EQ(calls[3].replacesId, 0u);
    for (std::size_t i = 4; i < calls.size(); ++i) EXPECT_EQ(calls[i].replacesId, 2u);
    EXPECT_EQ(calls.back().body, QStringLiteral("009 &lt;t&gt; fault\n008 &lt;t&gt; fault\n007 &lt;t&gt; "
                                                "fault\n006 &lt;t&gt; fault\n005 &lt;t&gt; fault"));

    // The all-clear, which the poll round sends, closes it too.
    window->Core().Silence();
    closes = server->Calls(kClose, 2);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[1].value(0).toUInt(), 2u);
}

// With the history kept, the body ends with since when each host is in fault; the host of the alarm just
// raised counts from the alarm when the history has not written its outage yet.
TEST_F(DesktopNotification, TheBodySaysSinceWhenEachHostIsInFault) {
    StartServer();
    CTessivDlg monitor(settings);
    WindowHooks hooks = HooksFor(monitor);
    const auto start = std::chrono::system_clock::now() - 1min;
    hooks.outageStarts = [&] {
        return std::optional<OutageStarts>(OutageStarts{{gbk::FromUtf8("中心-A"), start}});
    };
    DesktopNotifier withHistory(hooks, bus.Connect());
    monitor.Core().AddAlarmObserver(&withHistory);
    const auto at = [](std::chrono::system_clock::time_point when) {
        return QDateTime::fromSecsSinceEpoch(std::chrono::system_clock::to_time_t(when)).toString("HH:mm");
    };
    const QString before = at(std::chrono::system_clock::now());
    monitor.Core().RaiseAlarm("001 <t> fault", false,
                              AlarmFacts{"B", "http://b/s", FaultCategory::ServerFault});
    const std::vector<NotifyCall> calls = WaitForNotify(1);
    ASSERT_EQ(calls.size(), 1u);
    const QString body = QString::fromUtf8("001 &lt;t&gt; fault\n\n中心-A 自 %1 起异常\nB 自 %2 起异常");
    EXPECT_TRUE(calls[0].body == body.arg(at(start), before) ||
                calls[0].body == body.arg(at(start), at(std::chrono::system_clock::now())))
        << calls[0].body.toStdString();
}

TEST_F(DesktopNotification, ActionsFromTheServerSilenceAndRaiseTheWindow) {
    StartServer();
    window->show();
    window->Core().RaiseAlarm("001 <t> fault", true);
    ASSERT_EQ(WaitForNotify(1).size(), 1u);
    WaitForOpen(1);
    ASSERT_TRUE(window->IsSounding());

    Emit("ActionInvoked", QStringLiteral("us"), {1u, QStringLiteral("silence")});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->IsSounding(); }, 10000));
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Vantrel  Ver0.3"));
    EXPECT_EQ(server->Calls(kClose, 1).size(), 1u);

    // The default action brings back a minimised window.
    window->Core().RaiseAlarm("002 <t> fault", false);
    ASSERT_EQ(WaitForNotify(2).size(), 2u);
    WaitForOpen(2);
    window->showMinimized();
    Emit("ActivationToken", QStringLiteral("us"), {2u, QStringLiteral("token-1")});
    Emit("ActionInvoked", QStringLiteral("us"), {2u, QStringLiteral("default")});
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible() && !window->isMinimized(); }, 10000));

    // Closed by the user: the next alarm opens a new notification instead of reviving the closed one.
    Emit("NotificationClosed", QStringLiteral("uu"), {2u, 2u});
    WaitForOpen(0);
    window->Core().RaiseAlarm("003 <t> fault", false);
    std::vector<NotifyCall> calls = WaitForNotify(3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].replacesId, 0u);
}

TEST_F(DesktopNotification, NoServerCostsNothingAndALaterServerIsUsed) {
    // The sound device and the offscreen platform's raise() have their own say; only ours is measured.
    MonitorOptions options = window->Core().Options();
    options.playSound = false;
    options.topOnAlarm = false;
    window->Core().SetOptions(options);
    testing::internal::CaptureStderr();
    for (int i = 1; i <= 5; ++i) window->Core().RaiseAlarm("00" + std::to_string(i) + " <t> fault", true);
    window->OnSilence();
    window->Core().RaiseAlarm("006 <t> fault", true);

    StartServer();
    window->Core().RaiseAlarm("007 <t> fault", true);
    std::vector<NotifyCall> calls = WaitForNotify(1);
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().replacesId, 0u);
    EXPECT_TRUE(calls.back().body.startsWith(QStringLiteral("007 &lt;t&gt; fault\n006")));
    EXPECT_EQ(printed, "");
    EXPECT_EQ(window->Core().AlarmLog().substr(0, 3), "007");
}

}  // namespace
