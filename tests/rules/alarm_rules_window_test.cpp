// The alarm rules' all-hosts-unreachable notice through the real window and the desktop notification it
// shows, against a notification server on a private bus. The rules' other steps are tested on the core.
#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <ctime>
#include <memory>

#include "app/alarm_rules_wiring.h"
#include "app/tessiv_conf.h"
#include "desktop/desktop_ids.h"
#include "desktop/desktop_notifier.h"
#include "integrations/integrations.h"
#include "monitor/tessiv_dlg.h"
#include "polling/round_observers.h"
#include "tests/desktop/bus_services.h"
#include "tests/integrations/support.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

// Local time on a fixed day; day 2 is the next one.
std::time_t LocalTime(int day, int hour, int minute) {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 2;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

class AlarmRulesWindow : public testing::Test {
protected:
    // Writes Setting.ini, tessiv.conf (the hook script and `alarm` as its [alarm] section) and opens the
    // window wired as the program wires it.
    void Open(const std::vector<std::string>& entries, const std::string& alarm,
              AlarmRulesOutlets outlets = {}) {
        std::string list;
        for (const std::string& entry : entries) list += gbk::FromUtf8(entry) + "\r\n";
        WriteFileBytes(dir / "Setting.ini", list);
        WriteScript(dir.path(), "hook.sh",
                    "{ env | grep '^TESSIV_' | sort; echo ---; } >> " + (dir / "seen").string());
        WriteFileBytes(dir / "tessiv.conf",
                       "[hooks]\ncommand = " + (dir / "hook.sh").string() + "\n[alarm]\n" + alarm);
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 30ms};
        settings.roundObserver = &rounds;
        settings.clock = [this] { return now.load(); };
        window = std::make_unique<CTessivDlg>(settings);
        window->Core().AddAlarmObserver(&integrations);
        StartFromConf(integrations, dir.path());
        rules.Configure(RulesConfig(ReadTessivConf(dir.path()).alarm));
        if (!outlets.escalate)
            outlets.escalate = [this](const std::vector<std::string>& lines, auto when) {
                integrations.Escalate(lines, when);
            };
        AttachAlarmRules(window->Core(), rules, settings.clock, std::move(outlets), 10ms);
        window->show();
    }

    static bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }
    bool WaitForRequests(const StatusHost& host, int count) {
        return WaitFor([&] { return host.requestCount() >= count; });
    }

    std::atomic<std::time_t> now{LocalTime(1, 12, 0)};
    TempDir dir;
    Integrations integrations;
    AlarmRules rules;
    RoundObservers rounds{&integrations, &rules};
    std::unique_ptr<CTessivDlg> window;  // goes first
};

TEST_F(AlarmRulesWindow, EveryHostUnreachableIsSaidOnceUntilOneAnswers) {
    if (const std::string missing = MissingBusTools(); !missing.empty()) {
        if (InCi()) FAIL() << "missing " << missing;
        GTEST_SKIP() << "missing " << missing;
    }
    PrivateBus bus;
    ASSERT_TRUE(bus.IsUp());
    std::unique_ptr<MockService> server = StartNotificationServer(bus);
    ASSERT_TRUE(server->IsUp());
    DesktopNotifier notifier({}, bus.Connect());
    auto host = std::make_unique<StatusHost>();
    const int port = host->port();
    const std::string url = host->url();
    host.reset();
    int roundsDone = 0;
    const auto said = [&] {
        std::size_t times = 0;
        for (const QVariantList& call : server->Calls(QStringLiteral("Notify"), 0))
            times += call.value(3).toString() == QString::fromUtf8(desktop_ids::kNetworkDownSummary) ? 1 : 0;
        return times;
    };
    struct CloseFirst {
        std::unique_ptr<CTessivDlg>& window;
        ~CloseFirst() { window.reset(); }
    } closeFirst{window};  // the window's rounds reach the locals above: it goes before they do
    Open({"A,http://127.0.0.1:1/s@1", "B,http://127.0.0.1:2/s@1", "C," + url + "@1"}, "",
         {.networkDown = [&notifier](bool down) {
             if (down) notifier.SayNetworkDown();
         }});
    QObject::connect(window.get(), &CTessivDlg::RoundFinished, [&roundsDone] { ++roundsDone; });
    ASSERT_TRUE(WaitFor([&] { return said() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return roundsDone >= 5; }));
    EXPECT_EQ(said(), 1u);

    // One host answers again, then fails with the others: said a second time.
    host = std::make_unique<StatusHost>(Scenario{}, port);
    ASSERT_TRUE(WaitForRequests(*host, 2));
    host.reset();
    ASSERT_TRUE(WaitFor([&] { return said() == 2; }));
}

}  // namespace
