#include "polling/report_analysis.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "tests/support/recorder_port.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

using Kind = RecorderPort::Kind;

std::string Gbk(const char* utf8) {
    return gbk::FromUtf8(utf8);
}

std::string Sample(const std::string& name) {
    return ReadFileBytes(std::string(TESSIV_TEST_DATA) + "/" + name);
}

class Analysis : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // 2012-05-06 07:08:09 UTC, one second later at every reading.
    Clock SteppingClock() {
        return [this] { return std::time_t{1336288089} + readings++; };
    }

    bool Analyze(const std::string& report, const char* server = "Center-A", int number = 3,
                 bool previousWasTrue = true) {
        return AnalyzeStatusReport(report, Gbk(server), number, previousWasTrue, port, SteppingClock());
    }

    RecorderPort port;
    int readings = 0;
};

TEST_F(Analysis, ReportWithoutMsgIsNormalAndSilent) {
    EXPECT_TRUE(Analyze(""));
    EXPECT_TRUE(Analyze(Sample("report_no_msg.txt")));
    EXPECT_TRUE(port.Calls().empty());
}

TEST_F(Analysis, NormalReportWritesOneRunLineAndRefreshes) {
    for (const char* sample : {"report_normal.txt", "report_errmsg.txt"}) {
        RecorderPort fresh;
        EXPECT_TRUE(AnalyzeStatusReport(Sample(sample), Gbk("Center-A"), 3, false, fresh, SteppingClock()));
        auto calls = fresh.Calls();
        ASSERT_EQ(calls.size(), 2u) << sample;
        EXPECT_EQ(calls[0].kind, Kind::RunLog);
        EXPECT_EQ(calls[1].kind, Kind::Refresh);
    }
    Analyze(Sample("report_normal.txt"));
    EXPECT_EQ(port.CallsOf(Kind::RunLog)[0].line, Gbk("003 <2012-05-06 07:08:11> Center-A 正常... "));
}

TEST_F(Analysis, ApplicationRecordBecomesAnAlarmLine) {
    EXPECT_FALSE(Analyze(Sample("report_one_location_server.txt")));
    auto calls = port.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, Kind::Alarm);
    EXPECT_EQ(calls[0].line,
              Gbk("003 <2012-05-06 07:08:09> ------ Center-A 位置服务器 2012-05-06 06:00:00 异常 ------"));
    EXPECT_TRUE(calls[0].soundFlag);
    EXPECT_EQ(calls[1].kind, Kind::Refresh);
}

TEST_F(Analysis, TwoApplicationsGiveTwoLinesInOrderEachWithItsOwnTime) {
    EXPECT_FALSE(Analyze(Sample("report_two_apps.txt")));
    auto calls = port.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].line,
              Gbk("003 <2012-05-06 07:08:09> ------ Center-A QUARLEX服务器 2012-05-06 05:00:00 异常 ------"));
    EXPECT_EQ(calls[1].kind, Kind::Refresh);
    EXPECT_EQ(
        calls[2].line,
        Gbk("003 <2012-05-06 07:08:10> ------ Center-A 数据库日志需要清理 2012-05-06 05:30:00 异常 ------"));
    EXPECT_EQ(calls[3].kind, Kind::Refresh);
}

struct MuteCase {
    const char* sample;
    MuteOptions mutes;
    bool expectedSound;
};

TEST_F(Analysis, MuteOptionsSilenceTheirCategoryButStillAlarm) {
    const MuteCase cases[] = {
        {"report_one_location_server.txt", {.serverFault = true}, false},
        {"report_one_location_server.txt", {.connection = true, .diskSpace = true, .dbLog = true}, true},
        {"report_disk_and_security.txt", {.diskSpace = true}, false},  // disk space wins over security
        {"report_security.txt", {true, true, true, true}, true},       // nothing mutes a security alarm
    };
    for (const MuteCase& muteCase : cases) {
        RecorderPort fresh;
        fresh.SetMutes(muteCase.mutes);
        EXPECT_FALSE(AnalyzeStatusReport(Sample(muteCase.sample), "S", 1, true, fresh, SteppingClock()));
        auto alarms = fresh.CallsOf(Kind::Alarm);
        ASSERT_EQ(alarms.size(), 1u) << muteCase.sample;
        EXPECT_EQ(alarms[0].soundFlag, muteCase.expectedSound) << muteCase.sample;
    }
}

TEST_F(Analysis, ServerNameTakesPartInTheClassification) {
    // A server called "...网站..." turns every fault into a connection fault.
    EXPECT_FALSE(Analyze(Sample("report_security.txt"), "总部网站", 1, /*previousWasTrue=*/true));
    ASSERT_EQ(port.CallsOf(Kind::Alarm).size(), 1u);
    EXPECT_FALSE(port.CallsOf(Kind::Alarm)[0].soundFlag);  // first connection fault after a normal round

    RecorderPort fresh;
    AnalyzeStatusReport(Sample("report_unclassified.txt"), Gbk("安全报警主机"), 1, true, fresh,
                        SteppingClock());
    ASSERT_EQ(fresh.CallsOf(Kind::Alarm).size(), 1u);
    EXPECT_TRUE(fresh.CallsOf(Kind::Alarm)[0].soundFlag);
}

TEST_F(Analysis, ConnectionFaultSoundsOnlyWhenItRepeats) {
    std::string report = Gbk(
        "<msg><apps><app><appname>网站</appname><activetime>2012-05-06 06:00:00.0</activetime></app></apps>"
        "</msg>");
    struct {
        bool previousWasTrue;
        bool muted;
        bool sound;
    } const cases[] = {{true, false, false}, {false, false, true}, {false, true, false}, {true, true, false}};
    for (const auto& c : cases) {
        RecorderPort fresh;
        fresh.SetMutes({.connection = c.muted});
        AnalyzeStatusReport(report, "S", 1, c.previousWasTrue, fresh, SteppingClock());
        ASSERT_EQ(fresh.CallsOf(Kind::Alarm).size(), 1u);
        EXPECT_EQ(fresh.CallsOf(Kind::Alarm)[0].soundFlag, c.sound)
            << "previous " << c.previousWasTrue << " muted " << c.muted;
    }
}

TEST_F(Analysis, UnclassifiedFaultGoesToTheRunPaneOnly) {
    EXPECT_FALSE(Analyze(Sample("report_unclassified.txt")));
    EXPECT_TRUE(port.CallsOf(Kind::Alarm).empty());
    ASSERT_EQ(port.CallsOf(Kind::RunLog).size(), 1u);
    EXPECT_EQ(port.CallsOf(Kind::RunLog)[0].line,
              Gbk("003 <2012-05-06 07:08:09> ------ Center-A 备份程序 2012-05-06 06:00:00 异常 ------"));
}

TEST_F(Analysis, PlaceholdersInsideValuesAreReplacedInTemplateOrder) {
    Analyze(Sample("report_placeholder.txt"), "Center-A");
    // The name holds [ServerName] (replaced later), the time holds [AppName] (replaced earlier: stays).
    ASSERT_EQ(port.CallsOf(Kind::Alarm).size(), 1u);
    EXPECT_EQ(port.CallsOf(Kind::Alarm)[0].line,
              Gbk("003 <2012-05-06 07:08:09> ------ Center-A Center-A-位置服务器 [AppName] 异常 ------"));
}

TEST_F(Analysis, DisplayNumbersHaveAtLeastThreeDigits) {
    for (auto [number, text] : {std::pair{1, "001"}, {12, "012"}, {1000, "1000"}}) {
        RecorderPort fresh;
        AnalyzeStatusReport(Sample("report_normal.txt"), "S", number, true, fresh, SteppingClock());
        EXPECT_EQ(fresh.CallsOf(Kind::RunLog)[0].line.substr(0, std::string(text).size() + 2),
                  std::string(text) + " <");
    }
}

TEST_F(Analysis, AppnameWithoutAppTagIsAFaultWithoutLines) {
    EXPECT_FALSE(Analyze(Sample("report_attributes.txt")));
    EXPECT_TRUE(port.Calls().empty());
}

// The 1024-byte limit can cut the last record inside its name: the cut value is empty, so padding behind a
// partial name can never match a category and raise an alarm.
TEST_F(Analysis, CutOffRecordHasAnEmptyNameAndTimeAndRaisesNoAlarm) {
    EXPECT_FALSE(Analyze(Sample("report_truncated.txt")));
    ASSERT_EQ(port.CallsOf(Kind::Alarm).size(), 1u);
    auto runLines = port.CallsOf(Kind::RunLog);
    ASSERT_EQ(runLines.size(), 1u);
    EXPECT_EQ(runLines[0].line, Gbk("003 <2012-05-06 07:08:10> ------ Center-A   异常 ------"));

    RecorderPort fresh;
    std::string cut = Gbk("<msg><apps><app><appname>空间不足 ") + std::string(40, ' ');
    EXPECT_FALSE(AnalyzeStatusReport(cut, "S", 1, true, fresh, SteppingClock()));
    EXPECT_TRUE(fresh.CallsOf(Kind::Alarm).empty());
    ASSERT_EQ(fresh.CallsOf(Kind::RunLog).size(), 1u);
    EXPECT_EQ(fresh.CallsOf(Kind::RunLog)[0].line, Gbk("001 <2012-05-06 07:08:11> ------ S   异常 ------"));

    RecorderPort missing;
    EXPECT_FALSE(
        AnalyzeStatusReport(Sample("report_missing_children.txt"), "S", 1, true, missing, SteppingClock()));
    auto lines = missing.CallsOf(Kind::RunLog);
    ASSERT_EQ(missing.CallsOf(Kind::Alarm).size(), 1u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, Gbk("001 <2012-05-06 07:08:13> ------ S  T2 异常 ------"));
}

TEST_F(Analysis, AnyBytesEndWithABoundedNumberOfLines) {
    std::mt19937 random(20261208);
    const std::string pieces[] = {"msg", "<app>", "appname", "activetime", "</",
                                  ">",   "\xCD",  "\xF8",    "x",          " "};
    for (int round = 0; round < 2000; ++round) {
        std::string report;
        int length = static_cast<int>(random() % 60);
        for (int i = 0; i < length; ++i) report += pieces[random() % std::size(pieces)];
        RecorderPort fresh;
        AnalyzeStatusReport(report, "S", 1, true, fresh, SteppingClock());
        // Every pass takes at least five bytes off the report and writes one line plus one refresh.
        EXPECT_LE(fresh.Calls().size(), 2 * (report.size() / 5 + 1)) << report;
    }
}

}  // namespace
