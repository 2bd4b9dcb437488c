// The pieces tessiv.conf turns on, each against real processes and sockets.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "app/tessiv_conf.h"
#include "integrations/hook_runner.h"
#include "integrations/integrations.h"
#include "integrations/metrics.h"
#include "integrations/webhook.h"
#include "ports/round_observer.h"
#include "tests/integrations/support.h"
#include "tests/support/free_port.h"
#include "tests/support/pane_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

TEST(IntegrationsConfig, TheShippedExampleTurnsEverythingOn) {
    const TessivConf config =
        ParseTessivConf(ReadFileBytes(std::filesystem::path(TESSIV_DOCS) / "tessiv.conf.example"));
    EXPECT_TRUE(config.problems.empty()) << config.problems.front();
    ASSERT_TRUE(config.integrations.hookCommand && config.integrations.webhook &&
                config.integrations.metrics);
    EXPECT_EQ(config.integrations.metrics->Text(), "127.0.0.1:9464");
    EXPECT_TRUE(config.integrations.metrics->loopback);
    ASSERT_TRUE(config.web.listen);
    EXPECT_EQ(config.web.listen->Text(), "127.0.0.1:9465");
    EXPECT_FALSE(config.web.showUrls);
    EXPECT_FALSE(ReadTessivConf(TempDir().path()).integrations.hookCommand);

    // Saved by an editor with CR LF line ends, it means the same, to the last byte of every value.
    TempDir dir;
    std::string crlf;
    for (const char c : ReadFileBytes(std::filesystem::path(TESSIV_DOCS) / "tessiv.conf.example"))
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteFileBytes(dir / "tessiv.conf", crlf);
    const TessivConf fromCrLf = ReadTessivConf(dir.path());
    EXPECT_TRUE(fromCrLf.problems.empty()) << fromCrLf.problems.front();
    EXPECT_EQ(fromCrLf.integrations.hookCommand, config.integrations.hookCommand);
    ASSERT_TRUE(fromCrLf.integrations.webhook && fromCrLf.integrations.metrics);
    EXPECT_EQ(fromCrLf.integrations.webhook->url, config.integrations.webhook->url);
    EXPECT_EQ(fromCrLf.integrations.metrics->Text(), config.integrations.metrics->Text());
    EXPECT_EQ(fromCrLf.web, config.web);
}

TEST(IntegrationsConfig, ABadKeyOrValueGivesOneLineNamingItAndThatFeatureStaysOff) {
    const std::string hooks = "[hooks]\ncommand = /bin/true \"a, b\"\nwebhook = https://example.org/x\n";
    const std::string metrics = "[metrics]\nlisten = 127.0.0.1:9464\n";
    const TessivConf good = ParseTessivConf(hooks + metrics);
    ASSERT_TRUE(good.problems.empty());
    EXPECT_EQ(*good.integrations.hookCommand, (std::vector<std::string>{"/bin/true", "a, b"}));

    struct Case {
        std::string text, key;
        bool hooksOn, metricsOn;
    };
    for (const Case& bad : {
             Case{hooks + "comand = x\n" + metrics, "hooks/comand", false, true},
             Case{hooks + "webhook = file:///etc/passwd\n" + metrics, "hooks/webhook", false, true},
             Case{hooks + "webhook_ca = /nonexistent.pem\n" + metrics, "hooks/webhook_ca", false, true},
             Case{hooks + metrics + "listen = example.org:80\n", "metrics/listen", true, false},
             Case{hooks + metrics + "listen = 127.0.0.1:70000\n", "metrics/listen", true, false},
         }) {
        const TessivConf config = ParseTessivConf(bad.text);
        ASSERT_EQ(config.problems.size(), 1u) << bad.text;
        EXPECT_NE(config.problems[0].find(bad.key), std::string::npos) << config.problems[0];
        EXPECT_EQ(config.integrations.hookCommand.has_value() && config.integrations.webhook.has_value(),
                  bad.hooksOn)
            << bad.text;
        EXPECT_EQ(config.integrations.metrics.has_value(), bad.metricsOn) << bad.text;
    }
}

// [polling] parallel: 1 to 64 hosts at once; anything else is named and keeps one host at a time.
TEST(PollingConfig, ParallelTakesOneToSixtyFourAndABadValueKeepsOne) {
    EXPECT_EQ(ParseTessivConf("").polling.parallel, 1);
    EXPECT_EQ(ParseTessivConf("[polling]\nparallel = 32\n").polling.parallel, 32);
    for (const char* bad : {"0", "65", "8 hosts"}) {
        const TessivConf conf = ParseTessivConf(std::string("[polling]\nparallel = ") + bad + "\n");
        EXPECT_EQ(conf.polling.parallel, 1) << bad;
        ASSERT_EQ(conf.problems.size(), 1u) << bad;
        EXPECT_EQ(conf.problems[0],
                  "tessiv.conf: bad value for \"polling/parallel\" (not a number of hosts from "
                  "1 to 64); the hosts are asked one at a time");
    }
}

TEST(HookRunner, GetsTheNoticeInItsEnvironmentAndNothingIsInterpreted) {
    TempDir dir;
    const std::string hostile = "$(touch " + (dir / "pwned").string() + "); \"x";
    const auto script = WriteScript(dir.path(), "hook.sh",
                                    "{ printf '%s\\n' \"$#:$1\"; env | grep -E "
                                    "'^(TESSIV_|NOTIFY_SOCKET|WATCHDOG_)' | sort; echo ---; } >> " +
                                        (dir / "seen").string());
    PaneRecorder lines;
    // Left in the monitor's own environment (by whoever started it), or systemd's for the service: the hook
    // sees only the alarm's.
    ::setenv("TESSIV_SERVER", "left over", 1);
    ::setenv("TESSIV_EXTRA", "left over", 1);
    ::setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    ::setenv("WATCHDOG_USEC", "30000000", 1);
    {
        HookRunner runner({script.string(), "one arg; $(x)"}, lines.Sink());
        runner.Run(Notice{hostile, "001 " + hostile + " 位置服务器 异常", "server", true,
                          "2026-01-02T03:04:05+08:00"});
        ASSERT_TRUE(WaitFor([&] { return Count(ReadFileBytes(dir / "seen"), "---") == 1; }, 15s));
    }
    for (const char* name : {"TESSIV_SERVER", "TESSIV_EXTRA", "NOTIFY_SOCKET", "WATCHDOG_USEC"})
        ::unsetenv(name);
    EXPECT_EQ(ReadFileBytes(dir / "seen"),
              "1:one arg; $(x)\nTESSIV_CATEGORY=server\nTESSIV_LINE=001 " + hostile +
                  " 位置服务器 异常\nTESSIV_SERVER=" + hostile +
                  "\nTESSIV_SOUND=1\nTESSIV_TIME=2026-01-02T03:04:05+08:00\n---\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "pwned"));
    EXPECT_TRUE(lines.Get().empty());
}

TEST(HookRunner, RunsAtMostFourAtOnceAndDropsTheOldestWaiting) {
    TempDir dir;
    const auto script =
        WriteScript(dir.path(), "hook.sh",
                    "echo \"$TESSIV_LINE\" >> " + (dir / "started").string() + "\nwhile [ ! -e " +
                        (dir / "release").string() + " ]; do sleep 0.02; done");
    HookRunner runner({script.string()}, {}, HookLimits{.queueLimit = 2});
    auto started = [&] { return Count(ReadFileBytes(dir / "started"), "\n"); };
    for (std::size_t i = 0; i < 4; ++i) {
        runner.Run(Notice{.line = "run" + std::to_string(i)});
        ASSERT_TRUE(WaitFor([&] { return started() == i + 1; }, 15s));
    }
    for (int i = 4; i < 10; ++i) runner.Run(Notice{.line = "run" + std::to_string(i)});
    EXPECT_EQ(runner.Dropped(), 4u);
    WriteFileBytes(dir / "release", "");
    ASSERT_TRUE(WaitFor([&] { return started() == 6; }, 15s));
    const std::string runs = ReadFileBytes(dir / "started");
    EXPECT_NE(runs.find("run8\n"), std::string::npos);
    EXPECT_NE(runs.find("run9\n"), std::string::npos);
}

TEST(HookRunner, FailuresReachTheRunPaneAtMostOncePerInterval) {
    TempDir dir;
    PaneRecorder lines;
    {
        HookRunner missing({(dir / "no-such-hook").string()}, lines.Sink());
        missing.Run({});
        ASSERT_TRUE(WaitFor([&] { return lines.Get().size() == 1; }, 15s));
        EXPECT_NE(lines.Get()[0].find("could not be started"), std::string::npos);
    }
    {
        const auto script =
            WriteScript(dir.path(), "fail.sh", "echo x >> " + (dir / "ran").string() + "; exit 3");
        HookRunner failing({script.string()}, lines.Sink());
        for (int i = 0; i < 3; ++i) failing.Run({});
        ASSERT_TRUE(
            WaitFor([&] { return ReadFileBytes(dir / "ran").size() == 6 && lines.Get().size() == 2; }, 15s));
    }
    {
        HookRunner slow({"sleep", "30"}, lines.Sink(), HookLimits{.killAfter = 100ms});
        slow.Run({});
        ASSERT_TRUE(WaitFor([&] { return lines.Get().size() == 3; }, 15s));
    }
    const auto all = lines.Get();
    ASSERT_EQ(all.size(), 3u);  // the second and third exit-3 failures are held back
    EXPECT_NE(all[1].find("exited with status 3"), std::string::npos) << all[1];
    EXPECT_NE(all[2].find("killed after 100 ms"), std::string::npos) << all[2];
}

TEST(Webhook, PostsEachNoticeAsJsonRetryingAFailedTry) {
    Receiver receiver([](int request) { return request < 2 ? 503 : 200; });
    PaneRecorder lines;
    const std::string line = "001 \"q\" \\ tab\t nl\n bell\x07 位置服务器";
    {
        WebhookSender sender({receiver.url(), ""}, lines.Sink(), WebhookLimits{.backoff = 10ms});
        sender.Send(Notice{"Center-A", line, "server", true, "2026-01-02T03:04:05+08:00"});
        sender.Send(Notice{.category = "clear", .time = "t"});
        ASSERT_TRUE(WaitFor([&] { return sender.Delivered() == 2; }, 15s));
    }
    EXPECT_EQ(receiver.Requests(), 4);
    const std::vector<std::string> bodies = receiver.Bodies();
    ASSERT_EQ(bodies.size(), 4u);
    QJsonParseError error{};
    const QJsonObject alarm = QJsonDocument::fromJson(QByteArray::fromStdString(bodies[2]), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << bodies[2];
    EXPECT_EQ(alarm.value("line").toString().toStdString(), line);
    EXPECT_EQ(alarm.value("server").toString(), "Center-A");
    EXPECT_EQ(alarm.value("category").toString(), "server");
    EXPECT_TRUE(alarm.value("sound").toBool());
    EXPECT_EQ(alarm.value("time").toString(), "2026-01-02T03:04:05+08:00");
    EXPECT_EQ(bodies[3], R"({"category":"clear","time":"t"})");
    EXPECT_TRUE(lines.Get().empty());
}

// Held up by a receiver that does not answer yet, the webhook keeps the newest notices and drops the oldest.
TEST(Webhook, AFullQueueKeepsTheNewestNotices) {
    std::atomic<bool> release{false};
    Receiver receiver([&](int request) {
        while (request == 0 && !release) std::this_thread::sleep_for(5ms);
        return 200;
    });
    WebhookSender sender({receiver.url(), ""}, {}, WebhookLimits{.queueLimit = 2});
    sender.Send(Notice{.line = "n0", .category = "server"});
    ASSERT_TRUE(WaitFor([&] { return receiver.Requests() == 1; }, 15s));
    for (int i = 1; i <= 5; ++i) sender.Send(Notice{.line = "n" + std::to_string(i), .category = "server"});
    release = true;
    ASSERT_TRUE(WaitFor([&] { return sender.Delivered() == 3; }, 15s));
    std::vector<std::string> lines;
    for (const std::string& body : receiver.Bodies())
        lines.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(body))
                            .object()
                            .value("line")
                            .toString()
                            .toStdString());
    EXPECT_EQ(lines, (std::vector<std::string>{"n0", "n4", "n5"}));
    EXPECT_EQ(sender.Dropped(), 3u);
}

// An endpoint on a free loopback port, started from a real tessiv.conf.
// A reload that takes the hook command and the webhook away lets what they were doing finish: the running
// hook ends by itself and the POST under way gets its retry, while the alarms after the reload go nowhere.
TEST(Integrations, AReloadThatDropsTheHookAndWebhookLetsTheirWorkFinish) {
    TempDir dir;
    std::atomic<bool> release{false};
    Receiver receiver([&](int request) {
        while (request == 0 && !release) std::this_thread::sleep_for(10ms);
        return request == 0 ? 500 : 200;
    });
    struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag = true; }
    } releaseAtEnd{release};
    const auto script =
        WriteScript(dir.path(), "hook.sh",
                    "echo \"$TESSIV_LINE\" >> " + (dir / "started").string() + "\nwhile [ ! -e " +
                        (dir / "release").string() + " ]; do sleep 0.02; done\necho \"$TESSIV_LINE\" >> " +
                        (dir / "done").string());
    WriteFileBytes(dir / "tessiv.conf",
                   "[hooks]\ncommand = " + script.string() + "\nwebhook = " + receiver.url() + "\n");
    Integrations integrations;
    StartFromConf(integrations, dir.path(), {}, IntegrationLimits{.webhook = {.backoff = 10ms}});
    const auto alarm = [&](const std::string& line) {
        integrations.AlarmRaised(
            AlarmEvent{.line = line, .serverName = "A", .time = std::chrono::system_clock::now()});
    };
    alarm("one");
    ASSERT_TRUE(
        WaitFor([&] { return ReadFileBytes(dir / "started") == "one\n" && receiver.Requests() == 1; }, 15s));

    WriteFileBytes(dir / "tessiv.conf", "");
    RestartFromConf(integrations, dir.path());
    EXPECT_EQ(integrations.Hooks(), nullptr);
    alarm("two");
    WriteFileBytes(dir / "release", "");
    release = true;
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFileBytes(dir / "done") == "one\n" && receiver.Bodies().size() == 2; }, 15s));
    EXPECT_EQ(ReadFileBytes(dir / "started"), "one\n");
    EXPECT_EQ(receiver.Requests(), 2);
}

class Metrics : public testing::Test {
protected:
    void SetUp() override {
        WriteFileBytes(dir / "tessiv.conf",
                       "[metrics]\nlisten = 127.0.0.1:" + std::to_string(FreePort()) + "\n");
        StartFromConf(integrations, dir.path(), lines.Sink());
        ASSERT_NE(integrations.Metrics(), nullptr);
        port = integrations.Metrics()->Port();
    }

    PaneRecorder lines;
    Integrations integrations;
    TempDir dir;
    int port = 0;
};

TEST_F(Metrics, ServesTheEntriesAndDropsThoseThatLeftTheList) {
    EXPECT_FALSE(Scrape(port).contains("tessiv_last_round_end_timestamp_seconds"));  // no round yet
    const std::string name = gbk::FromUtf8("中心 \"A\"\\");
    integrations.EntryPolled({0, name, "http://a/s", false, false, 250ms});
    integrations.EntryPolled({1, "B", "http://b/s", false, std::nullopt, 1s});
    integrations.RoundEnded(2);
    const std::string a = R"({address="http://a/s",server="中心 \"A\"\\"})";
    const std::string b = R"({address="http://b/s",server="B"})";
    auto samples = Scrape(port);
    EXPECT_EQ(samples.at("tessiv_server_up" + a), 0);
    EXPECT_FALSE(samples.contains("tessiv_server_up" + b));  // unknown: absent
    EXPECT_EQ(samples.at("tessiv_query_duration_seconds" + a), 0.25);
    EXPECT_EQ(samples.at("tessiv_rounds_total"), 1);

    integrations.EntryPolled({0, name, "http://a/s", false, true, 1ms});
    integrations.RoundEnded(1);
    samples = Scrape(port);
    EXPECT_EQ(samples.at("tessiv_server_up" + a), 1);
    EXPECT_FALSE(samples.contains("tessiv_server_paused" + b));
    EXPECT_EQ(samples.at("tessiv_rounds_total"), 2);

    // A second endpoint on the same port: one line, and it stays off.
    Integrations clash;
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten = 127.0.0.1:" + std::to_string(port) + "\n");
    StartFromConf(clash, dir.path(), lines.Sink());
    EXPECT_EQ(clash.Metrics(), nullptr);
    ASSERT_EQ(lines.Get().size(), 1u);
    EXPECT_NE(lines.Get()[0].find("cannot listen"), std::string::npos);

    // Any address but loopback is said in the run pane.
    Integrations exposed;
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten = 0.0.0.0:" + std::to_string(FreePort()) + "\n");
    StartFromConf(exposed, dir.path(), lines.Sink());
    ASSERT_NE(exposed.Metrics(), nullptr);
    ASSERT_EQ(lines.Get().size(), 2u);
    EXPECT_NE(lines.Get()[1].find("exposed beyond this machine"), std::string::npos) << lines.Get()[1];
}

}  // namespace

// A host's outage is stamped with its first faulty round and keeps that start until a normal report.
TEST_F(Metrics, OutageStartStaysFromTheFirstFaultUntilNormalAgain) {
    const std::string series = R"(tessiv_outage_started_timestamp_seconds{address="http://a/s",server="A"})";
    auto round = [&](std::optional<bool> normal) {
        integrations.EntryPolled({0, "A", "http://a/s", false, normal, 1ms});
        integrations.RoundEnded(1);
        return Scrape(port);
    };
    auto epoch = [] {
        return static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    };
    EXPECT_FALSE(round(true).contains(series));
    const double before = epoch();
    const double started = round(false).at(series);
    EXPECT_GE(started, before);
    EXPECT_LE(started, epoch());
    std::this_thread::sleep_for(1100ms);  // a later stamp would differ
    EXPECT_EQ(round(false).at(series), started);
    EXPECT_EQ(round(std::nullopt).at(series), started);  // no report: still in the outage
    EXPECT_FALSE(round(true).contains(series));
}
