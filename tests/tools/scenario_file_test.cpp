#include "tools/scenario_file.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/temp_dir.h"
#include "text/time_text.h"

namespace {

using namespace std::chrono_literals;

constexpr std::time_t kNow = 1714552200;

TEST(ScenarioFile, ReadsEveryDirective) {
    const auto scenarios = ParseScenarios(
        "# a host in trouble\n"
        "\n"
        "status 503\n"
        "delay 250\n"
        "hang\n"
        "redirect http://127.0.0.1:9/elsewhere\n"
        "body <msg>磁盘</msg>\n"
        "app 数据 采集 | 2024-05-01 08:30:00.0\n"
        "  app   Disk|Watch | 空间 不足  \n",
        kNow);

    ASSERT_EQ(scenarios.size(), 1u);
    const Scenario& scenario = scenarios[0];
    EXPECT_EQ(scenario.status, 503);
    EXPECT_EQ(scenario.delay, 250ms);
    EXPECT_TRUE(scenario.hang);
    EXPECT_EQ(scenario.redirect, "http://127.0.0.1:9/elsewhere");
    EXPECT_EQ(scenario.rawBody, "<msg>\xB4\xC5\xC5\xCC</msg>") << "the body is served in GBK";
    ASSERT_EQ(scenario.apps.size(), 2u);
    EXPECT_EQ(scenario.apps[0].name, "数据 采集");
    EXPECT_EQ(scenario.apps[0].time, "2024-05-01 08:30:00.0");
    EXPECT_EQ(scenario.apps[1].name, "Disk|Watch") << "the last bar separates name and time";
    EXPECT_EQ(scenario.apps[1].time, "空间 不足");
}

TEST(ScenarioFile, DefaultsToAnEmptyHealthyReport) {
    for (const char* text : {"", "# nothing\n", "\xEF\xBB\xBF"}) {
        const auto scenarios = ParseScenarios(text, kNow);
        ASSERT_EQ(scenarios.size(), 1u);
        EXPECT_EQ(scenarios[0].status, 200);
        EXPECT_TRUE(scenarios[0].apps.empty());
        EXPECT_FALSE(scenarios[0].rawBody);
        EXPECT_FALSE(scenarios[0].hang);
        EXPECT_EQ(scenarios[0].delay, 0ms);
    }
}

TEST(ScenarioFile, NowStandsForTheHostClock) {
    const auto scenarios = ParseScenarios(
        "app a | now\n"
        "app b | now-600\n"
        "app c | now+30\n"
        "app d | nowhere\n",
        kNow);

    ASSERT_EQ(scenarios[0].apps.size(), 4u);
    EXPECT_EQ(scenarios[0].apps[0].time, FormatLocalTime(kNow, kReportTimeFormat));
    EXPECT_EQ(scenarios[0].apps[1].time, FormatLocalTime(kNow - 600, kReportTimeFormat));
    EXPECT_EQ(scenarios[0].apps[2].time, FormatLocalTime(kNow + 30, kReportTimeFormat));
    EXPECT_EQ(scenarios[0].apps[3].time, "nowhere");
}

TEST(ScenarioFile, SectionsAreSeparateScenarios) {
    const auto scenarios = ParseScenarios(
        "app 数据采集 | now\r\n"
        "---\r\n"
        "status 500\r\n"
        "app 空间不足 | now\r\n",
        kNow);

    ASSERT_EQ(scenarios.size(), 2u);
    EXPECT_EQ(scenarios[0].status, 200);
    ASSERT_EQ(scenarios[0].apps.size(), 1u);
    EXPECT_EQ(scenarios[0].apps[0].name, "数据采集");
    EXPECT_EQ(scenarios[1].status, 500);
    ASSERT_EQ(scenarios[1].apps.size(), 1u);
    EXPECT_EQ(scenarios[1].apps[0].name, "空间不足");
}

TEST(ScenarioFile, BadLinesAreRejectedWithTheirNumber) {
    const char* bad[] = {"statu 200",  "status",   "status 20x", "status 42",        "delay -5",
                         "delay soon", "hang now", "redirect",   "app no separator", "--- x"};
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        try {
            ParseScenarios(std::string("# fine\n\n") + line + "\n", kNow);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()).rfind("line 3: ", 0), 0u) << error.what();
        }
    }
}

TEST(ScenarioFile, FileIsReadAgainForEveryRequestAndTakenInTurn) {
    TempDir dir;
    const auto file = dir / "host.txt";
    WriteFileBytes(file, "app first | now\n---\napp second | now\n---\nstatus 404\n");

    EXPECT_EQ(ScenarioFromFile(file, 0, kNow).apps.at(0).name, "first");
    EXPECT_EQ(ScenarioFromFile(file, 1, kNow).apps.at(0).name, "second");
    EXPECT_EQ(ScenarioFromFile(file, 2, kNow).status, 404);
    EXPECT_EQ(ScenarioFromFile(file, 3, kNow).apps.at(0).name, "first");

    WriteFileBytes(file, "app edited | now\n");
    EXPECT_EQ(ScenarioFromFile(file, 4, kNow).apps.at(0).name, "edited");
}

TEST(ScenarioFile, UnreadableOrBadFileAnswers500) {
    TempDir dir;
    const Scenario missing = ScenarioFromFile(dir / "missing.txt", 0, kNow);
    EXPECT_EQ(missing.status, 500);
    ASSERT_TRUE(missing.rawBody);
    EXPECT_NE(missing.rawBody->find("missing.txt"), std::string::npos);

    EXPECT_EQ(ScenarioFromFile(dir.path(), 0, kNow).status, 500) << "a folder";

    WriteFileBytes(dir / "bad.txt", "app ok | now\nbogus\n");
    const Scenario bad = ScenarioFromFile(dir / "bad.txt", 0, kNow);
    EXPECT_EQ(bad.status, 500);
    ASSERT_TRUE(bad.rawBody);
    EXPECT_NE(bad.rawBody->find("line 2"), std::string::npos);
}

}  // namespace
