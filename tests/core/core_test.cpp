// The monitor's core with no window and no GUI library: real HTTP against a status host, real Setting.ini and
// log.txt, and a view that records what it was asked to show.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/monitor_core.h"
#include "core/thread_calls.h"
#include "ports/alarm_observer.h"
#include "ports/round_observer.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 15000);
}

struct RecordingObserver final : AlarmObserver {
    void AlarmRaised(const AlarmEvent& event) override { raised.push_back(event); }
    void AlarmSilenced() override {}
    void AllClear() override {}
    void AlarmPaneCleared() override {}
    std::vector<AlarmEvent> raised;
};

struct RecordingRounds final : RoundObserver {
    void EntryPolled(const EntryResult& result) override {
        std::lock_guard hold(mutex);
        results.push_back(result);
    }
    void RoundEnded(std::size_t) override {}
    std::mutex mutex;
    std::vector<EntryResult> results;
};

class MonitorCoreTest : public testing::Test {
protected:
    MonitorCoreTest() {
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 20ms};
    }
    void WriteSetting(const std::vector<std::string>& entries) {
        std::string file;
        for (const std::string& line : entries) file += line + "\r\n";
        WriteFileBytes(dir / "Setting.ini", file);
    }

    int argc = 1;
    char name[8] = "core";
    char* argv[1] = {name};
    QCoreApplication app{argc, argv};
    TempDir dir;
    MonitorSettings settings;
    RecordingView view;
};

TEST_F(MonitorCoreTest, AFaultAlarmsAndItsRecoveryGivesTheAllClearWithoutAWindow) {
    StatusHost host(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    WriteSetting({"Center-A," + host.url() + "@1"});
    MonitorCore core(settings, view);
    core.Start();

    const std::string fault = " ------ Center-A 位置服务器 2012-05-06 06:00:00 异常 ------";
    const std::string record = gbk::FromUtf8(fault) + "\r\nalarm sound ...\r\n";
    // log.txt is written by the round's worker once the alarm has been shown.
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(dir / "log.txt").find(record) != std::string::npos; }));
    EXPECT_TRUE(Contains(view.alarmLines, fault));
    EXPECT_TRUE(Contains(view.runLines, "服务器监控程序已经启动!"));
    EXPECT_TRUE(view.sounding);
    EXPECT_GE(view.forwarded, 1);

    host.SetScenario({});
    ASSERT_TRUE(WaitFor([&] { return core.AlarmLog().empty() && !view.sounding; }));
    EXPECT_GE(view.emptied, 1);
    EXPECT_TRUE(Contains(view.runLines, " Center-A 正常... "));
}

// A reload asked for during a round must not swap the list under the round's worker: it waits for the
// round's end, then the new list and what comes with it are taken.
TEST_F(MonitorCoreTest, AReloadDuringARoundWaitsForItsEnd) {
    StatusHost slow(Scenario{.delay = 400ms});
    WriteSetting({"A," + slow.url() + "@1"});
    settings.pacing.nextRound = 1h;
    MonitorCore core(settings, view);
    core.Start();
    ASSERT_TRUE(WaitFor([&] { return slow.requestCount() > 0; }));
    ASSERT_TRUE(core.IsRoundRunning());

    WriteSetting({"A," + slow.url() + "@1", "B,http://192.0.2.7/s@0"});
    bool alsoRan = false;
    core.Reload([&] { alsoRan = true; });
    EXPECT_FALSE(alsoRan);
    EXPECT_EQ(core.Servers().Entries().size(), 1u);

    ASSERT_TRUE(WaitFor([&] { return alsoRan; }));
    EXPECT_FALSE(core.IsRoundRunning());
    EXPECT_EQ(core.Servers().Entries().size(), 2u);
    EXPECT_TRUE(Contains(view.runLines, "已按请求重新读取 Setting.ini"));
}

// Out of threads (the process limit RLIMIT_NPROC), a round's worker cannot start: the alarm pane says so,
// and the next round's time tries again, which starts the round once the limit is lifted. The limit is the
// real one, in a child process, under a user other than root, whom it does not bind.
TEST_F(MonitorCoreTest, ARoundThatCannotStartIsSaidAndTriedAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr uid_t kUser = 54'321;
    const auto roundsUnderTheLimit = [&] {
        MonitorCore core(settings, view);
        int finished = 0;
        QObject::connect(&core, &MonitorCore::RoundFinished, [&] { ++finished; });
        core.Start();
        rlimit usual{};
        getrlimit(RLIMIT_NPROC, &usual);
        const bool root = geteuid() == 0;
        // Root stays the saved user, to take the folder away at the end.
        if (root && setresuid(kUser, kUser, 0) != 0) std::_Exit(2);
        const rlimit none{0, usual.rlim_max};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) std::_Exit(3);
        const bool said = WaitFor([&] { return !view.alarmLines.empty(); });
        setrlimit(RLIMIT_NPROC, &usual);
        const bool retried = WaitFor([&] { return finished > 0; });
        for (const std::string& line : view.alarmLines) std::fprintf(stderr, "%s\n", line.c_str());
        if (root) static_cast<void>(setresuid(0, 0, 0));
        std::filesystem::remove_all(dir.path());
        std::_Exit(said && retried ? 0 : 1);
    };
    EXPECT_EXIT(roundsUnderTheLimit(), testing::ExitedWithCode(0),
                "<[-0-9 :]+> 无法开始本轮查询（.+），到下一轮的时间再试\n");
}

// The operator deletes an earlier row while B is being queried: B's alarm still names B, with its URL,
// not the entry that has moved into B's place.
TEST_F(MonitorCoreTest, AnAlarmNamesThePolledEntryAfterAnEarlierRowIsDeleted) {
    RecordingObserver alarms;
    RecordingRounds rounds;
    std::atomic<ServerLists*> servers{nullptr};  // set before the first round
    StatusHost hostA;
    StatusHost hostC;
    StatusHost hostB([&servers](int) {
        ServerLists::Locked lists = servers.load()->Lock();
        if (lists.m_arrServers.size() == 3) {
            lists.m_arrServers.erase(lists.m_arrServers.begin());
            lists.m_arrServerStates.erase(lists.m_arrServerStates.begin());
        }
        return Scenario{.apps = {{"QUARLEX服务器", "2026-12-08 03:00:00"}}};
    });
    settings.roundObserver = &rounds;
    WriteSetting({"A," + hostA.url() + "@1", "B," + hostB.url() + "@1", "C," + hostC.url() + "@1"});
    MonitorCore core(settings, view);
    servers = &core.Servers();
    core.AddAlarmObserver(&alarms);
    core.Start();

    ASSERT_TRUE(WaitFor([&] { return !alarms.raised.empty(); }));
    EXPECT_EQ(alarms.raised[0].line.substr(0, 4), "002 ");
    EXPECT_EQ(alarms.raised[0].serverName, "B");
    EXPECT_EQ(alarms.raised[0].url, hostB.url());
    EXPECT_EQ(alarms.raised[0].category, FaultCategory::ServerFault);
    const auto polledB = [&]() -> std::optional<EntryResult> {
        std::lock_guard hold(rounds.mutex);
        const auto b = std::ranges::find(rounds.results, std::string("B"), &EntryResult::name);
        return b == rounds.results.end() ? std::nullopt : std::optional(*b);
    };
    ASSERT_TRUE(WaitFor([&] { return polledB().has_value(); }));
    ASSERT_EQ(polledB()->faults.size(), 1u);
    EXPECT_EQ(polledB()->faults[0].line, alarms.raised[0].line);
    EXPECT_EQ(polledB()->faults[0].category, FaultCategory::ServerFault);
}

TEST_F(MonitorCoreTest, LoadsSettingIniWithATrueStatePerEntry) {
    WriteFileBytes(dir / "Setting.ini", "A,ua@1\r\n\r\nB,ub@0\r\n");
    settings.pacing.startDelay = 1h;
    settings.pacing.firstRound = 1h;
    MonitorCore core(settings, view);
    core.Start();
    EXPECT_EQ(core.Servers().Entries(), (std::vector<std::string>{"A,ua@1", "", "B,ub@0"}));
    EXPECT_EQ(core.Servers().States(), (std::vector<std::string>{"true", "true", "true"}));
}

TEST_F(MonitorCoreTest, StartsByItselfAfterTheStartDelay) {
    settings.pacing.startDelay = 10ms;
    settings.pacing.firstRound = 1h;
    MonitorCore core(settings, view);
    core.Start();
    EXPECT_TRUE(WaitFor([&] { return !core.RunLog().empty(); }));
}

// The options start with an alarm sounding and fetching the operator and nothing muted; what they are
// when an alarm comes decides both, while its record says it was entitled to sound either way.
TEST_F(MonitorCoreTest, TheOptionsDecideWhatAnAlarmDoesBeyondItsLine) {
    settings.pacing.startDelay = 1h;
    settings.pacing.firstRound = 1h;
    MonitorCore core(settings, view);
    core.Start();
    MonitorOptions options = core.Options();
    EXPECT_TRUE(options.topOnAlarm);
    EXPECT_TRUE(options.playSound);
    EXPECT_FALSE(options.mutes.connection || options.mutes.serverFault || options.mutes.diskSpace ||
                 options.mutes.dbLog);

    options.playSound = false;
    options.topOnAlarm = false;
    options.mutes.diskSpace = true;
    core.SetOptions(options);
    core.RaiseAlarm("x", true);
    EXPECT_FALSE(view.sounding);
    EXPECT_EQ(view.forwarded, 0);
    EXPECT_EQ(ReadFileBytes(dir / "log.txt"), "x\r\nalarm sound ...\r\n");
    EXPECT_TRUE(core.Mutes().diskSpace);
    EXPECT_FALSE(core.Mutes().connection);

    options.playSound = true;
    options.topOnAlarm = true;
    core.SetOptions(options);
    core.RaiseAlarm("y", true);
    EXPECT_TRUE(view.sounding);
    EXPECT_EQ(view.forwarded, 1);
}

using ThreadCallsTest = MonitorCoreTest;

// A call into the core that throws ends the worker's wait with the exception instead of leaving it
// waiting for ever.
TEST_F(ThreadCallsTest, AThrowingCallReturnsItsExceptionToTheWorker) {
    QObject owner;
    auto* calls = new ThreadCalls(&owner);
    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            calls->Call([] { throw std::runtime_error("no converter"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return caught.load(); }, 5000));
    worker.join();
}

}  // namespace
