// Acknowledging from the window as the program wires it: the notification's 已知晓 (a real notification
// server on a private bus) and the server list's 确认异常. The host in fault keeps failing; once known it
// no longer sounds, and it alarms again after it recovered and failed anew.
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QTableWidget>
#include <QTest>

#include <filesystem>
#include <memory>

#include "app/additions.h"
#include "app/window_hooks.h"
#include "desktop/desktop_notifier.h"
#include "desktop/desktop_presence.h"
#include "monitor/tessiv_dlg.h"
#include "servers/ui/server_list_dialog.h"
#include "tests/desktop/bus_services.h"
#include "tests/integrations/support.h"
#include "tests/support/monitor_fixture.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

const Scenario kFault{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}};

class AcknowledgeFromTheWindow : public MonitorFixture {
protected:
    void SetUp() override {
        if (const std::string missing = MissingBusTools(); !missing.empty()) {
            if (InCi()) FAIL() << "missing " << missing;
            GTEST_SKIP() << "missing " << missing;
        }
        ASSERT_TRUE(bus.IsUp());
        server = StartNotificationServer(bus);
        ASSERT_TRUE(server->IsUp());
    }
    // The window goes before the additions it tells.
    void TearDown() override { window.reset(); }

    // Opens the window with the additions attached and acknowledging offered as the program does; the
    // notification goes to the private bus's server.
    void OpenWithAdditions(const std::vector<std::string>& entries) {
        WriteFileBytes(settingFile, CrLfLines(entries));
        MonitorSettings settings = Settings(true);
        additions.Prepare(settings);
        OpenWith(std::move(settings));
        additions.Attach(window->Core());
        OfferAcknowledgements(*window, desktop, *additions.Acknowledgements());
        WindowHooks hooks = HooksFor(*window);
        hooks.acknowledge = [this](const std::string&) {
            additions.Acknowledgements()->AcknowledgeAll("window");
        };
        notifier = std::make_unique<DesktopNotifier>(hooks, bus.Connect());
        notifier->OfferAcknowledge();
        window->Core().AddAlarmObserver(notifier.get());
    }

    // After a few rounds, what log.txt gained over a few more: the host's lines, none sounding.
    std::string LogOfQuietRounds(const StatusHost& host) {
        const int settled = host.requestCount() + 2;
        EXPECT_TRUE(QTest::qWaitFor([&] { return host.requestCount() >= settled; }, 10000));
        const std::size_t before = Log().size();
        EXPECT_TRUE(QTest::qWaitFor([&] { return host.requestCount() >= settled + 3; }, 10000));
        return Log().substr(before);
    }

    PrivateBus bus;
    std::unique_ptr<MockService> server;
    Additions additions;
    DesktopPresence desktop;
    std::unique_ptr<DesktopNotifier> notifier;
};

TEST_F(AcknowledgeFromTheWindow, TheNotificationAndTheListQuietAKnownFault) {
    StatusHost host(kFault);
    OpenWithAdditions({"F," + host.url() + "@1"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IsSounding(); }, 10000)) << Log();
    const std::vector<QVariantList> calls = server->Calls(QStringLiteral("Notify"), 1);
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(calls[0].value(5).toStringList().contains(QString::fromUtf8("已知晓")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifier->OpenNotification() != 0; }, 10000));

    server->EmitSignal(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"),
                       QStringLiteral("us"), {notifier->OpenNotification(), QStringLiteral("acknowledge")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->IsSounding(); }, 10000));
    const std::string quiet = LogOfQuietRounds(host);
    EXPECT_GE(Count(quiet, gbk::FromUtf8("位置服务器")), 2u) << quiet;
    EXPECT_EQ(Count(quiet, "alarm sound"), 0u) << quiet;
    EXPECT_FALSE(window->IsSounding());

    // Recovered and down again: it sounds, and 确认异常 in the list quiets it.
    host.SetScenario({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !std::filesystem::exists(dir / "acknowledged.ini"); }, 10000));
    host.SetScenario(kFault);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IsSounding(); }, 10000)) << Log();
    ModalDriver driver([](CServerInfodlg& list) {
        auto* table = list.findChild<QTableWidget*>(QStringLiteral("m_listServers"));
        const QPoint at = table->visualItemRect(table->item(0, 0)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, table->viewport()->mapToGlobal(at));
        EXPECT_TRUE(ContextMenuEntries(table->viewport(), event, QString::fromUtf8("确认异常"))
                        .contains(QString::fromUtf8("确认异常")));
        CloseList(list);
    });
    ManageServers(driver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->IsSounding(); }, 10000));
    EXPECT_EQ(Count(LogOfQuietRounds(host), "alarm sound"), 0u);
    EXPECT_TRUE(std::filesystem::exists(dir / "acknowledged.ini"));
}

}  // namespace
