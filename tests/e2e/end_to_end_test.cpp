// The real window, real HTTP against a status host on 127.0.0.1, real Setting.ini and log.txt, with the
// pacing shrunk so that rounds follow each other within milliseconds.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include <memory>

#include "monitor/tessiv_dlg.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

const std::string kAlarmSoundLine = "alarm sound ...\r\n";

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        settings.dataDir = dir.path();
        settings.pacing = {0ms, 0ms, 0ms, 20ms};
    }

    std::unique_ptr<CTessivDlg> OpenWindow(const std::vector<std::string>& entries) {
        std::string file;
        for (const std::string& line : entries) file += line + "\r\n";
        WriteFileBytes(dir / "Setting.ini", file);
        return std::make_unique<CTessivDlg>(settings);
    }

    std::string Log() { return ReadFileBytes(dir / "log.txt"); }

    static bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }

    static int RefusedPort() {
        StatusHost closed;
        return closed.port();  // nothing listens there once the host is gone
    }

    TempDir dir;
    MonitorSettings settings;
};

TEST_F(EndToEnd, FaultAlarmsAndRecoveryGivesTheAllClear) {
    StatusHost host(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    auto window = OpenWindow({"Center-A," + host.url() + "@1"});

    ASSERT_TRUE(
        WaitFor([&] { return window->Core().Servers().States() == std::vector<std::string>{"false"}; }));
    const std::string faultText =
        gbk::FromUtf8(" ------ Center-A 位置服务器 2012-05-06 06:00:00 异常 ------");
    EXPECT_EQ(window->Core().AlarmLog().substr(0, 3), "001");
    EXPECT_NE(window->Core().AlarmLog().find(faultText), std::string::npos);
    EXPECT_NE(Log().find(faultText + "\r\n" + kAlarmSoundLine), std::string::npos);
    EXPECT_TRUE(window->IsSounding());
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("有服务器异常 ...  Ver0.3"));

    host.SetScenario({});
    ASSERT_TRUE(WaitFor([&] { return window->Core().AlarmLog().empty() && !window->IsSounding(); }));
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Vantrel  Ver0.3"));
    EXPECT_NE(window->Core().RunLog().find(gbk::FromUtf8(" Center-A 正常... ")), std::string::npos);
    EXPECT_EQ(window->Core().Servers().States(), std::vector<std::string>{"true"});
}

TEST_F(EndToEnd, UnreachableHostAlarmsSilentlyThenSounds) {
    auto window = OpenWindow({"Lost,http://127.0.0.1:" + std::to_string(RefusedPort()) + "/s@1"});
    ASSERT_TRUE(WaitFor([&] { return Log().find(kAlarmSoundLine) != std::string::npos; }));
    window.reset();

    std::string log = Log();
    std::size_t firstEnd = log.find("\r\n");
    std::string first = log.substr(0, firstEnd);
    EXPECT_NE(first.find(gbk::FromUtf8("Lost 网站 ")), std::string::npos) << first;
    EXPECT_TRUE(first.ends_with(gbk::FromUtf8(".0 异常 ------")));
    // The first record stands alone; the next one carries the sound line.
    std::string second = log.substr(firstEnd + 2);
    EXPECT_FALSE(second.starts_with("alarm sound"));
    EXPECT_NE(second.find("\r\n" + kAlarmSoundLine), std::string::npos);
}

TEST_F(EndToEnd, PausedEntryIsNeverQueried) {
    StatusHost paused;
    StatusHost polled;
    auto window = OpenWindow({"P," + paused.url() + "@0", "Q," + polled.url() + "@1"});
    ASSERT_TRUE(WaitFor([&] { return polled.requestCount() >= 3; }));
    EXPECT_EQ(paused.requestCount(), 0);
    EXPECT_NE(window->Core().RunLog().find("002 <"), std::string::npos);
}

TEST_F(EndToEnd, ClosingWhileAQueryHangsEndsPromptly) {
    StatusHost host(Scenario{.hang = true});
    auto window = OpenWindow({"Hang," + host.url() + "@1"});
    ASSERT_TRUE(WaitFor([&] { return host.requestCount() >= 1; }));
    QElapsedTimer clock;
    clock.start();
    window->OnExit();
    // The query's own time-out is 30 s; closing cancels it instead of waiting.
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_FALSE(window->Core().IsRoundRunning());
}

TEST_F(EndToEnd, ClosingAtAnyMomentOfARoundNeitherHangsNorCrashes) {
    StatusHost faulty(Scenario{.apps = {{"空间不足", "t"}, {"安全报警", "t"}}});
    StatusHost normal;
    for (int attempt = 0; attempt < 25; ++attempt) {
        auto window = OpenWindow({"F," + faulty.url() + "@1", "N," + normal.url() + "@1",
                                  "X,http://127.0.0.1:" + std::to_string(RefusedPort()) + "/x@1"});
        QTest::qWait(attempt % 6);
        window.reset();  // closes mid-round, while the worker may wait on the window
    }
    EXPECT_GT(faulty.requestCount() + normal.requestCount(), 0);
}

}  // namespace
