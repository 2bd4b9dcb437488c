#include "polling/poll_round.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "polling/round_control.h"
#include "tests/support/recorder_port.h"
#include "text/gbk.h"

namespace {

using Kind = RecorderPort::Kind;
using namespace std::chrono_literals;

const std::string kNormal = "<msg><apps></apps></msg>";
const std::string kFault = "<msg><apps><app><appname>" + gbk::FromUtf8("位置服务器") +
                           "</appname><activetime>t</activetime></app></apps></msg>";

class PollRound : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void SetEntries(std::vector<std::string> entries) { port.Servers().Reset(std::move(entries)); }

    // Answers each URL with its scripted report; an unscripted URL answers normally.
    int Run() {
        StatusQuery query = [this](const std::string& url, std::string& report) {
            queried.push_back(url);
            if (auto hook = hooks.find(url); hook != hooks.end()) hook->second(report);
            if (failing.contains(url)) return false;
            auto answer = answers.find(url);
            report += answer == answers.end() ? kNormal : answer->second;
            return true;
        };
        PollRoundContext context{port, control, query, Pacing::Immediate(), [] { return std::time_t{0}; }};
        return PollRoundThread(context);
    }

    std::vector<std::string> Lines(Kind kind) {
        std::vector<std::string> lines;
        for (const auto& call : port.CallsOf(kind)) lines.push_back(call.line);
        return lines;
    }

    RecorderPort port;
    RoundControl control;
    std::vector<std::string> queried;
    std::map<std::string, std::string> answers;
    std::set<std::string> failing;
    std::map<std::string, std::function<void(std::string&)>> hooks;
};

TEST_F(PollRound, OnlyTheFlagZeroPausesAnEntry) {
    SetEntries({"A,ua@0", "B,ub@1", "C,uc@", "D,ud@00", "E,ue@ 0", "F,uf"});
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(queried, (std::vector<std::string>{"ub", "uc", "ud", "ue", "uf"}));
    auto lines = Lines(Kind::RunLog);
    ASSERT_EQ(lines.size(), 5u);
    // Numbers count paused entries too: B is the second entry.
    EXPECT_EQ(lines[0], "002 <1970-01-01 00:00:00> B " + gbk::FromUtf8("正常... "));
    EXPECT_EQ(lines[4].substr(0, 4), "006 ");
}

TEST_F(PollRound, StatesFollowTheAnalysisAndTheAllClearNeedsEveryStateTrue) {
    SetEntries({"A,ua@1", "B,ub@1"});
    answers["ub"] = kFault;
    Run();
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"true", "false"}));
    EXPECT_TRUE(port.CallsOf(Kind::Silence).empty());
    EXPECT_TRUE(port.CallsOf(Kind::ClearAlarmPane).empty());
    ASSERT_EQ(port.CallsOf(Kind::ArmTimer).size(), 1u);
    EXPECT_EQ(port.CallsOf(Kind::ArmTimer)[0].delay, Pacing::Immediate().nextRound);

    answers.erase("ub");
    Run();
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"true", "true"}));
    auto calls = port.Calls();
    ASSERT_GE(calls.size(), 3u);
    // The all-clear: silence, then the alarm pane emptied, then the next round armed.
    EXPECT_EQ(calls[calls.size() - 3].kind, Kind::Silence);
    EXPECT_EQ(calls[calls.size() - 2].kind, Kind::ClearAlarmPane);
    EXPECT_EQ(calls[calls.size() - 1].kind, Kind::ArmTimer);
}

TEST_F(PollRound, EmptyOrAllPausedListStillEndsWithTheAllClear) {
    for (std::vector<std::string> entries : {std::vector<std::string>{}, {"A,ua@0", "B,ub@0"}}) {
        RecorderPort fresh;
        fresh.Servers().Reset(entries);
        RoundControl freshControl;
        PollRoundContext context{fresh, freshControl, [](const std::string&, std::string&) { return true; },
                                 Pacing::Immediate(), [] { return std::time_t{0}; }};
        PollRoundThread(context);
        auto calls = fresh.Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].kind, Kind::Silence);
        EXPECT_EQ(calls[1].kind, Kind::ClearAlarmPane);
        EXPECT_EQ(calls[2].kind, Kind::ArmTimer);
        EXPECT_EQ(freshControl.PauseCount(), 1);  // only the pause before arming
    }
}

TEST_F(PollRound, PausedFalseStateHoldsBackTheAllClear) {
    SetEntries({"A,ua@0"});
    port.Servers().Lock().m_arrServerStates[0] = "false";
    Run();
    EXPECT_TRUE(port.CallsOf(Kind::Silence).empty());
}

TEST_F(PollRound, FailedQueryIsPassedOverWithoutPauseOrStateChange) {
    SetEntries({"A,ua@1", "B,ub@1"});
    port.Servers().Lock().m_arrServerStates[0] = "false";
    failing.insert("ua");
    hooks["ua"] = [](std::string& report) { report += "partial"; };
    answers["ub"] = kNormal;
    Run();
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"false", "true"}));
    EXPECT_EQ(Lines(Kind::RunLog).size(), 1u);  // B only, and B's report held nothing of A's
    EXPECT_EQ(control.PauseCount(), 2);         // after B, and before arming
}

TEST_F(PollRound, AnErrorEndsOnlyItsOwnEntry) {
    SetEntries({"A,ua@1", "B,ub@1"});
    port.Servers().Lock().m_arrServerStates[0] = "false";
    hooks["ua"] = [](std::string& report) {
        report += "<msg><apps><app><appname>leftover";
        throw std::runtime_error("host trouble");
    };
    Run();
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"false", "true"}));
    ASSERT_EQ(Lines(Kind::RunLog).size(), 1u);
    EXPECT_TRUE(port.CallsOf(Kind::Alarm).empty());  // nothing of A's report reached B's analysis
    EXPECT_EQ(control.PauseCount(), 3);              // the failed entry pauses too
}

TEST_F(PollRound, PreviousStateMustBeExactlyTrue) {
    std::string unreachable = "<msg><apps><app><appname>" + gbk::FromUtf8("网站") +
                              "</appname><activetime>t</activetime></app></apps></msg>";
    SetEntries({"A,ua@1", "B,ub@1"});
    answers["ua"] = unreachable;
    answers["ub"] = unreachable;
    port.Servers().Lock().m_arrServerStates[1] = "TRUE";
    Run();
    auto alarms = port.CallsOf(Kind::Alarm);
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_FALSE(alarms[0].soundFlag);  // first failure after a normal round: silent
    EXPECT_TRUE(alarms[1].soundFlag);
    // The next round finds both "false": both sound.
    Run();
    alarms = port.CallsOf(Kind::Alarm);
    ASSERT_EQ(alarms.size(), 4u);
    EXPECT_TRUE(alarms[2].soundFlag);
    EXPECT_TRUE(alarms[3].soundFlag);
}

TEST_F(PollRound, EntriesAddedOrRemovedDuringTheRoundAreSeen) {
    SetEntries({"A,ua@1", "B,ub@1", "C,uc@1"});
    hooks["ua"] = [this](std::string&) {
        ServerLists::Locked lists = port.Servers().Lock();
        lists.m_arrServers.erase(lists.m_arrServers.begin() + 1);
        lists.m_arrServerStates.erase(lists.m_arrServerStates.begin() + 1);
        lists.m_arrServers.push_back("D,ud@1");
        lists.m_arrServerStates.push_back("true");
    };
    Run();
    EXPECT_EQ(queried, (std::vector<std::string>{"ua", "uc", "ud"}));
}

TEST_F(PollRound, EntryRemovedDuringItsQueryKeepsTheOthersStates) {
    SetEntries({"A,ua@1", "B,ub@1"});
    answers["ub"] = kFault;
    hooks["ub"] = [this](std::string&) {
        ServerLists::Locked lists = port.Servers().Lock();
        lists.m_arrServers.pop_back();
        lists.m_arrServerStates.pop_back();
    };
    Run();
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"true"}));
}

// A row deleted above the host being asked moves it up: its state still lands on it, not on its neighbour.
TEST_F(PollRound, AStateLandsOnTheHostThatWasAskedWhenARowAboveIsDeleted) {
    SetEntries({"A,ua@1", "B,ub@1", "C,uc@1"});
    answers["ub"] = kFault;
    hooks["ub"] = [this](std::string&) {
        ServerLists::Locked lists = port.Servers().Lock();
        lists.m_arrServers.erase(lists.m_arrServers.begin());
        lists.m_arrServerStates.erase(lists.m_arrServerStates.begin());
    };
    Run();
    EXPECT_EQ(port.Servers().Entries(), (std::vector<std::string>{"B,ub@1", "C,uc@1"}));
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"false", "true"}));
}

// Opt-in: an answer that holds no status report (an error or login page) is a connection fault.
TEST_F(PollRound, StrictReportsTakeAnAnswerWithoutAReportForAConnectionFault) {
    SetEntries({"A,ua@1"});
    answers["ua"] = "<html>login</html>";
    StatusQuery query = [this](const std::string& url, std::string& report) {
        report += answers[url];
        return true;
    };
    PollRoundContext strict{port,    control, query, Pacing::Immediate(), [] { return std::time_t{0}; },
                            nullptr, true};
    PollRoundThread(strict);
    ASSERT_EQ(port.CallsOf(Kind::Alarm).size(), 1u);
    EXPECT_NE(port.CallsOf(Kind::Alarm)[0].line.find(gbk::FromUtf8(" 网站 ")), std::string::npos);
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"false"}));
    PollRoundContext lenient{port, control, query, Pacing::Immediate(), [] { return std::time_t{0}; }};
    PollRoundThread(lenient);
    EXPECT_EQ(port.Servers().States(), (std::vector<std::string>{"true"}));
}

TEST_F(PollRound, StopEndsTheRoundWithoutAllClearOrNextRound) {
    SetEntries({"A,ua@1", "B,ub@1"});
    hooks["ua"] = [this](std::string&) { control.RequestStop(); };
    Run();
    EXPECT_EQ(queried, (std::vector<std::string>{"ua"}));
    EXPECT_TRUE(port.CallsOf(Kind::Silence).empty());
    EXPECT_TRUE(port.CallsOf(Kind::ArmTimer).empty());
}

TEST(RoundControlTest, StopWakesAPauseAtOnce) {
    RoundControl control;
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        control.RequestStop();
    });
    EXPECT_FALSE(control.Pause(std::chrono::hours(1)));
    stopper.join();
    EXPECT_FALSE(control.Pause(1ms));
}

}  // namespace
