// The monitor's core with no window and no GUI library: real HTTP against a status host, real Setting.ini and
// log.txt, and a view that records what it was asked to show.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/monitor_core.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

std::string Utf8(const std::string& gbkLine) {
    return gbk::ToQString(gbkLine).toStdString();
}

struct RecordingView final : MonitorView {
    void RunLineAdded(const std::string& line) override { runLines.push_back(Utf8(line)); }
    void Refresh() override {}
    void AlarmLineAdded(const std::string& line) override { alarmLines.push_back(Utf8(line)); }
    void AlarmPaneEmptied() override { ++emptied; }
    void AlarmShown(bool forward, bool sound) override {
        forwarded += forward ? 1 : 0;
        sounding = sounding || sound;
    }
    void SoundStopped() override { sounding = false; }
    bool IsSounding() const override { return sounding; }
    void MonitoringStarted() override {}

    std::vector<std::string> runLines;
    std::vector<std::string> alarmLines;
    int emptied = 0;
    int forwarded = 0;
    bool sounding = false;
};

bool WaitFor(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(15s);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::ranges::any_of(lines,
                               [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

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

}  // namespace
