// The monitor's core with fast rounds against a local status host, and tessiv.conf turning on a hook script,
// a webhook receiver and the metrics endpoint. No GUI library: what the additions are told comes from the
// core.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <memory>

#include "app/tessiv_conf.h"
#include "core/monitor_core.h"
#include "integrations/integrations.h"
#include "tests/integrations/support.h"
#include "tests/support/free_port.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

class IntegrationsOnTheCore : public testing::Test {
protected:
    // Writes Setting.ini, tessiv.conf and a hook script that appends its environment to `seen`.
    std::unique_ptr<MonitorCore> Open(const std::string& entry, const std::string& conf) {
        WriteFileBytes(dir / "Setting.ini", gbk::FromUtf8(entry) + "\r\n");
        WriteScript(dir.path(), "hook.sh",
                    "{ env | grep '^TESSIV_' | sort; echo ---; } >> " + (dir / "seen").string());
        WriteFileBytes(dir / "tessiv.conf", conf);
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 20ms};
        settings.roundObserver = &integrations;
        auto core = std::make_unique<MonitorCore>(settings, view);
        core->AddAlarmObserver(&integrations);
        StartFromConf(integrations, dir.path(), core->RunPaneNotices());
        core->Start();
        return core;
    }

    std::string Seen() { return ReadFileBytes(dir / "seen"); }
    static bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }

    int argc = 1;
    char name[13] = "integrations";
    char* argv[1] = {name};
    QCoreApplication app{argc, argv};
    TempDir dir;
    Integrations integrations;  // outlives the core, as in the program
    RecordingView view;
};

TEST_F(IntegrationsOnTheCore, AFaultAndItsAllClearReachTheHookTheWebhookAndTheMetrics) {
    // Host-controlled text in the fault line: the application's name.
    const std::string hostile = "位置服务器 $(touch " + (dir / "pwned").string() + "); \"x";
    StatusHost host(Scenario{.apps = {{hostile, "2012-05-06 06:00:00"}}});
    Receiver receiver;
    auto core = Open("中心-A," + host.url() + "@1",
                     "[hooks]\ncommand = " + (dir / "hook.sh").string() + "\nwebhook = " + receiver.url() +
                         "\n[metrics]\nlisten = 127.0.0.1:" + std::to_string(FreePort()) + "\n");
    ASSERT_NE(integrations.Metrics(), nullptr);
    const int port = integrations.Metrics()->Port();
    const std::string labels = "{address=\"" + host.url() + "\",server=\"中心-A\"}";

    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "---") >= 1 && !receiver.Bodies().empty(); }));
    EXPECT_NE(Seen().find("TESSIV_LINE=001 <"), std::string::npos);
    EXPECT_NE(Seen().find(" ------ 中心-A " + hostile + " 2012-05-06 06:00:00 异常 ------\n"),
              std::string::npos)
        << Seen();
    EXPECT_NE(Seen().find("TESSIV_SERVER=中心-A\n"), std::string::npos);
    EXPECT_NE(receiver.Bodies()[0].find(R"("server":"中心-A")"), std::string::npos) << receiver.Bodies()[0];
    // The round reports the entry once its analysis, and so the alarm, is done.
    std::map<std::string, double> samples;
    ASSERT_TRUE(WaitFor([&] { return (samples = Scrape(port)).contains("tessiv_server_up" + labels); }));
    EXPECT_EQ(samples.at("tessiv_server_up" + labels), 0);
    EXPECT_GE(samples.at("tessiv_faults_total{category=\"server\",server=\"中心-A\"}"), 1);
    EXPECT_EQ(samples.at("tessiv_alarm_active"), 1);

    host.SetScenario({});
    ASSERT_TRUE(WaitFor([&] { return Seen().find("TESSIV_CATEGORY=clear") != std::string::npos; }));
    // Every later round without a fault tells the core of the all-clear again; it is sent once.
    const double rounds = Scrape(port)["tessiv_rounds_total"];
    ASSERT_TRUE(WaitFor([&] { return Scrape(port)["tessiv_rounds_total"] >= rounds + 5; }));
    ASSERT_TRUE(WaitFor([&] { return Count(receiver.Bodies().back(), "clear") == 1; }));
    core.reset();
    EXPECT_EQ(Count(Seen(), "TESSIV_CATEGORY=clear"), 1u);
    std::size_t clears = 0;
    for (const std::string& body : receiver.Bodies()) clears += Count(body, R"("category":"clear")");
    EXPECT_EQ(clears, 1u);
    samples = Scrape(port);
    EXPECT_EQ(samples.at("tessiv_server_up" + labels), 1);
    EXPECT_EQ(samples.at("tessiv_alarm_active"), 0);
    EXPECT_GT(samples.at("tessiv_last_round_end_timestamp_seconds"), 1.7e9);
    EXPECT_FALSE(std::filesystem::exists(dir / "pwned"));
}

TEST_F(IntegrationsOnTheCore, ASlowHookAndAHangingWebhookNeverHoldUpARoundOrTheStop) {
    StatusHost host(Scenario{.apps = {{"位置服务器", "t"}}});
    Receiver hanging([](int) { return -1; });
    auto core = Open("Slow," + host.url() + "@1",
                     "[hooks]\ncommand = sleep 30\nwebhook = " + hanging.url() +
                         "\nsurplus = 1\n[metrics]\nlisten = 127.0.0.1:" + std::to_string(FreePort()) + "\n");
    // The unknown key turns the hooks off and says so in the run pane; the metrics stay on.
    EXPECT_EQ(integrations.Hooks(), nullptr);
    ASSERT_TRUE(
        WaitFor([&] { return core->RunLog().find("unknown key \"hooks/surplus\"") != std::string::npos; }));
    core.reset();

    WriteFileBytes(dir / "log.txt", "");
    auto busy = std::make_unique<Integrations>();
    MonitorSettings settings;
    settings.dataDir = dir.path();
    settings.pacing = {0ms, 0ms, 0ms, 10ms};
    settings.roundObserver = busy.get();
    WriteFileBytes(dir / "tessiv.conf", "[hooks]\ncommand = sleep 30\nwebhook = " + hanging.url() + "\n");
    core = std::make_unique<MonitorCore>(settings, view);
    core->AddAlarmObserver(busy.get());
    StartFromConf(*busy, dir.path(), {},
                  IntegrationLimits{.hooks = {.queueLimit = 2}, .webhook = {.queueLimit = 2}});
    core->Start();
    ASSERT_NE(busy->Hooks(), nullptr);
    // Each round raises the alarm again while four hooks sleep and the webhook waits on its first try.
    ASSERT_TRUE(WaitFor([&] { return Count(ReadFileBytes(dir / "log.txt"), "\r\n") >= 40; }));
    EXPECT_GT(busy->Hooks()->Dropped(), 0u);
    EXPECT_GT(busy->Webhook()->Dropped(), 0u);
    EXPECT_EQ(hanging.Requests(), 1);
    const auto before = std::chrono::steady_clock::now();
    core.reset();
    busy.reset();  // kills the sleeping hooks and cancels the webhook's first try, 10 s from its time-out
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
}

}  // namespace
