// Rounds that ask many hosts at once, through the real core against real status hosts on 127.0.0.1: they
// write what a serial round writes, in list order, and a stop ends them while their queries hang.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/monitor_core.h"
#include "ports/round_observer.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_dir.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

struct RecordingRounds final : RoundObserver {
    void EntryPolled(const EntryResult& result) override {
        std::lock_guard hold(mutex);
        seen.push_back(std::to_string(result.position) + " " + result.name + " " +
                       (result.normal ? (*result.normal ? "normal" : "fault") : "-"));
    }
    void RoundEnded(std::size_t) override {}
    std::mutex mutex;
    std::vector<std::string> seen;
};

// What one round of one core left: the panes, log.txt and what its round observer was told.
struct RoundRecord {
    std::vector<std::string> runLines;
    std::vector<std::string> alarmLines;
    std::string logTxt;
    std::vector<std::string> observed;
};

class ParallelRoundTest : public testing::Test {
protected:
    ParallelRoundTest() {
        // The first: slow, so later hosts answer before it; one faulty; one that never answers (its time-out
        // makes it a connection fault); one that drops the connection mid-answer (passed over).
        hosts.push_back(std::make_unique<StatusHost>(Scenario{.delay = 300ms}));
        for (int i = 1; i < 12; ++i) {
            Scenario scenario;
            if (i == 3) scenario.apps = {{"位置服务器", "2012-05-06 06:00:00"}};
            if (i == 5) scenario.hang = true;
            if (i == 8) scenario = {.apps = {{"QUARLEX服务器", "t"}}, .announcedLength = 4096};
            hosts.push_back(std::make_unique<StatusHost>(scenario));
        }
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            setting += "H" + std::to_string(i) + "," + hosts[i]->url() + "@1\r\n";
            if (i == 6) setting += "Paused," + hosts[i]->url() + "@0\r\n";
        }
    }

    MonitorSettings SettingsIn(const TempDir& dir, int parallel, RoundObserver* rounds) {
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 1h};
        settings.clock = [] { return std::time_t{1'336'284'000}; };
        settings.queryLimits.totalTimeout = 1500ms;
        settings.roundObserver = rounds;
        settings.parallel = parallel;
        return settings;
    }

    RoundRecord OneRound(int parallel) {
        TempDir dir;
        WriteFileBytes(dir / "Setting.ini", setting);
        RecordingRounds rounds;
        RecordingView view;
        MonitorCore core(SettingsIn(dir, parallel, &rounds), view);
        bool finished = false;
        QObject::connect(&core, &MonitorCore::RoundFinished, [&] { finished = true; });
        core.Start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return finished; }, 15000));
        std::lock_guard hold(rounds.mutex);
        return {view.runLines, view.alarmLines, ReadFileBytes(dir / "log.txt"), rounds.seen};
    }

    int argc = 1;
    char name[8] = "core";
    char* argv[1] = {name};
    QCoreApplication app{argc, argv};
    std::vector<std::unique_ptr<StatusHost>> hosts;
    std::string setting;
};

TEST_F(ParallelRoundTest, WritesTheSerialRoundsLinesRecordsAndStatesInListOrder) {
    const RoundRecord serial = OneRound(1);
    const RoundRecord parallel = OneRound(8);

    // The serial round is what the parallel one must match, so it must hold each kind of outcome.
    ASSERT_EQ(serial.observed.size(), 13u);
    EXPECT_EQ(serial.observed[3], "3 H3 fault");
    EXPECT_EQ(serial.observed[5], "5 H5 fault");  // the time-out, a connection fault
    EXPECT_EQ(serial.observed[7], "7 Paused -");
    EXPECT_EQ(serial.observed[9], "9 H8 -");  // broken off: passed over
    EXPECT_EQ(serial.observed[12], "12 H11 normal");
    EXPECT_NE(serial.logTxt.find("H3"), std::string::npos);
    EXPECT_NE(serial.logTxt.find("H5"), std::string::npos);
    EXPECT_EQ(serial.logTxt.find("H8"), std::string::npos);

    EXPECT_EQ(parallel.observed, serial.observed);
    EXPECT_EQ(parallel.runLines, serial.runLines);
    EXPECT_EQ(parallel.alarmLines, serial.alarmLines);
    EXPECT_EQ(parallel.logTxt, serial.logTxt);
}

TEST_F(ParallelRoundTest, AsksUpToNHostsAtOnceAndAStopEndsThemWhileTheyHang) {
    std::vector<std::unique_ptr<StatusHost>> hanging;
    std::string list;
    for (int i = 0; i < 6; ++i) {
        hanging.push_back(std::make_unique<StatusHost>(Scenario{.hang = true}));
        list += "H" + std::to_string(i) + "," + hanging.back()->url() + "@1\r\n";
    }
    TempDir dir;
    WriteFileBytes(dir / "Setting.ini", list);
    RecordingView view;
    MonitorSettings settings = SettingsIn(dir, 4, nullptr);
    settings.queryLimits.totalTimeout = 60s;
    MonitorCore core(settings, view);
    core.Start();
    const auto asked = [&] {
        int count = 0;
        for (const auto& host : hanging) count += host->requestCount();
        return count;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked() == 4; }, 15000));
    // The first four hang: the fifth is asked only once one of them ends.
    EXPECT_EQ(hanging[4]->requestCount() + hanging[5]->requestCount(), 0);

    const auto stopping = std::chrono::steady_clock::now();
    core.Stop();
    // Each running query notices the stop within about a second, far inside its 60 s time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 10s);
    EXPECT_FALSE(core.IsRoundRunning());
    EXPECT_EQ(asked(), 4);
    EXPECT_TRUE(view.alarmLines.empty());
}

}  // namespace
