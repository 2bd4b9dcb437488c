// The opt-in alarm rules of tessiv.conf's [alarm] on the monitor's core, wired as either front wires them:
// fast rounds against status hosts on 127.0.0.1, a hook script that records every notice, a clock the test
// sets, and a view that records what the core asked it to show. No GUI library.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>

#include "app/alarm_rules_wiring.h"
#include "app/tessiv_conf.h"
#include "core/monitor_core.h"
#include "integrations/integrations.h"
#include "polling/round_observers.h"
#include "rules/acknowledgements.h"
#include "tests/integrations/support.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

const Scenario kFault{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}};

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

class AlarmRulesOnTheCore : public testing::Test {
protected:
    // Writes Setting.ini, tessiv.conf (the hook script and `alarm` as its [alarm] section) and starts the
    // core wired as the program wires it.
    void Open(const std::vector<std::string>& entries, const std::string& alarm) {
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
        core = std::make_unique<MonitorCore>(settings, view);
        core->AddAlarmObserver(&integrations);
        StartFromConf(integrations, dir.path());
        rules.Configure(RulesConfig(ReadTessivConf(dir.path()).alarm));
        AlarmRulesOutlets outlets;
        outlets.escalate = [this](const std::vector<std::string>& lines, auto when) {
            integrations.Escalate(lines, when);
        };
        AttachAlarmRules(*core, rules, settings.clock, std::move(outlets), 10ms);
        core->Start();
    }

    std::string Seen() const { return ReadFileBytes(dir / "seen"); }
    std::string Log() const { return gbk::ToQString(ReadFileBytes(dir / "log.txt")).toStdString(); }
    bool Sounding() const { return view.sounding; }
    static bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }
    bool WaitForRequests(const StatusHost& host, int count) {
        return WaitFor([&] { return host.requestCount() >= count; });
    }

    int argc = 1;
    char name[6] = "rules";
    char* argv[1] = {name};
    QCoreApplication app{argc, argv};
    std::atomic<std::time_t> now{LocalTime(1, 12, 0)};
    TempDir dir;
    Integrations integrations;
    AlarmRules rules;
    RoundObservers rounds{&integrations, &rules};
    RecordingView view;
    std::unique_ptr<MonitorCore> core;  // goes first
};

TEST_F(AlarmRulesOnTheCore, AFaultAlarmsOnlyFromItsSecondConsecutiveRound) {
    StatusHost host([](int request) { return request == 0 ? kFault : Scenario{}; });
    Open({"中心-A," + host.url() + "@1"}, "confirm_rounds = 2\n");
    // One faulty round: in the pane (until the next round's all-clear) and log.txt as a muted fault, but
    // nobody woken.
    const std::string line = "位置服务器 2012-05-06 06:00:00 异常";
    EXPECT_TRUE(WaitFor(
        [&] { return gbk::ToQString(core->AlarmLog()).toStdString().find(line) != std::string::npos; }));
    ASSERT_TRUE(WaitForRequests(host, 5));
    EXPECT_EQ(Count(Log(), line), 1u) << Log();
    EXPECT_EQ(Count(Log(), "alarm sound"), 0u);
    EXPECT_EQ(Seen(), "");

    // Two faulty rounds in a row: the second alarms, once.
    const int first = host.requestCount() + 1;
    host.SetSource(
        [first](int request) { return request == first || request == first + 1 ? kFault : Scenario{}; });
    ASSERT_TRUE(WaitForRequests(host, first + 5));
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "---") >= 1; }));
    EXPECT_EQ(Count(Seen(), "TESSIV_CATEGORY=server"), 1u) << Seen();
    EXPECT_EQ(Count(Log(), line), 3u) << Log();
    EXPECT_EQ(Count(Log(), "alarm sound"), 1u);
    EXPECT_GT(Log().rfind("alarm sound"), Log().rfind(line)) << "the second record sounds";
}

TEST_F(AlarmRulesOnTheCore, QuietHoursAcrossMidnightSilenceTheSoundButNotTheAlarm) {
    StatusHost host(kFault);
    now = LocalTime(1, 21, 59);
    Open({"中心-A," + host.url() + "@1"}, "quiet_hours = 22:00-06:00\n");
    ASSERT_TRUE(WaitFor([&] { return Sounding(); }));

    // Quiet hours begin: the sounding alarm is silenced, later alarms still reach the pane, log and hook.
    now = LocalTime(1, 23, 30);
    ASSERT_TRUE(WaitFor([&] { return !Sounding(); }));
    for (const std::time_t quiet : {LocalTime(1, 23, 30), LocalTime(2, 2, 0)}) {
        now = quiet;
        ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 2));
        const std::size_t log = Log().size();
        const std::size_t hooks = Count(Seen(), "---");
        ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 3));
        ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "---") > hooks + 1; }));
        const std::string during = Log().substr(log);
        EXPECT_NE(during.find("位置服务器"), std::string::npos);
        EXPECT_EQ(during.find("alarm sound"), std::string::npos) << during;
        EXPECT_NE(Seen().rfind("TESSIV_SOUND=0"), std::string::npos);
        EXPECT_FALSE(Sounding());
    }

    now = LocalTime(2, 6, 30);
    EXPECT_TRUE(WaitFor([&] { return Sounding(); }));
}

TEST_F(AlarmRulesOnTheCore, AnAlarmNobodyDealsWithIsEscalatedOnce) {
    StatusHost host(kFault);
    const std::time_t start = now;
    Open({"中心-A," + host.url() + "@1"}, "escalate_after = 1\n");
    ASSERT_TRUE(WaitFor([&] { return Sounding() && Count(Seen(), "---") >= 1; }));
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 3));
    EXPECT_EQ(Count(Seen(), "escalation"), 0u);

    now = start + 61;
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "TESSIV_CATEGORY=escalation") == 1; }));
    const std::string seen = Seen();
    const std::size_t escalation = seen.find("TESSIV_CATEGORY=escalation");
    const std::size_t lineAt = seen.rfind("TESSIV_LINE=", escalation);
    EXPECT_NE(
        seen.substr(lineAt, seen.find('\n', lineAt) - lineAt).find("位置服务器 2012-05-06 06:00:00 异常"),
        std::string::npos)
        << seen;

    now = start + 3600;
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 10));
    QTest::qWait(50);
    EXPECT_EQ(Count(Seen(), "TESSIV_CATEGORY=escalation"), 1u);
}

TEST_F(AlarmRulesOnTheCore, WithoutItsSoundAnAlarmIsStillEscalatedCountedFromItsSilence) {
    StatusHost host(kFault);
    const std::time_t start = now;
    Open({"中心-A," + host.url() + "@1"}, "escalate_after = 1\n");
    MonitorOptions options = core->Options();
    options.playSound = false;
    core->SetOptions(options);
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "TESSIV_CATEGORY=server") >= 1; }));
    EXPECT_FALSE(Sounding());

    // Silenced, though nothing sounded: the next round's alarm counts afresh.
    core->OnSilence();
    now = start + 50;
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 3));
    now = start + 100;
    ASSERT_TRUE(WaitForRequests(host, host.requestCount() + 3));
    EXPECT_EQ(Count(Seen(), "TESSIV_CATEGORY=escalation"), 0u) << Seen();

    now = start + 111;
    ASSERT_TRUE(WaitFor([&] { return Count(Seen(), "TESSIV_CATEGORY=escalation") == 1; })) << Seen();
    EXPECT_FALSE(Sounding());
}

// What a restart reads back of acknowledged.ini: the host (a URL may hold "=" and ","), its categories, who
// and when; a file with nothing acknowledged is removed.
TEST(Acknowledgements, SurviveARestartAndLeaveNoFileWhenNoneIsLeft) {
    TempDir dir;
    const std::filesystem::path file = dir / kAcknowledgedFileName;
    const Acknowledgements::Host host{gbk::FromUtf8("中心-A"), "http://127.0.0.1:9/s?a=1,b=2"};
    const std::time_t since = 1765238400;
    {
        Acknowledgements kept(file);
        ASSERT_TRUE(
            kept.Add(host, {{FaultCategory::Connection, FaultCategory::DiskSpace}, "command line", since}));
    }
    Acknowledgements read(file);
    read.Load();
    const Acknowledgement* found = read.Find(host);
    ASSERT_NE(found, nullptr) << ReadFileBytes(file);
    EXPECT_EQ(found->categories, (std::set{FaultCategory::Connection, FaultCategory::DiskSpace}));
    EXPECT_EQ(found->who, "command line");
    EXPECT_EQ(found->since, since);
    ASSERT_TRUE(read.Remove(host));
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
