// `tessiv --history` as the real executable, beside its own history.sqlite, while a store writes to it and
// another connection holds a write transaction open.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>

#include "history/history_store.h"
#include "history/sqlite_handle.h"
#include "tests/history/history_support.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

// The time as `tessiv` shows it with TZ=CST-8: ISO 8601 at UTC+8.
std::string AtPlusEight(history::TimePoint time) {
    const std::time_t shifted = history::Clock::to_time_t(time) + 8 * 3600;
    std::tm utc{};
    gmtime_r(&shifted, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+08:00", &utc);
    return text;
}

struct Finished {
    int status = -1;
    std::string out;
};

// No display of any kind: a program that made a QApplication here would fail.
Finished RunTessiv(const std::filesystem::path& exe, const std::string& args) {
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TZ=CST-8 '" +
                                exe.string() + "' --history " + args + " 2>&1";
    Finished run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(HistoryCommand, ThreeRoundsFaultFaultNormalAreOneOutageInTheReaderAndOnTheCommandLine) {
    TempDir dir;
    // The executable looks beside itself: a hard link puts it in the test's folder.
    const std::filesystem::path exe = dir / "tessiv";
    std::error_code linked;
    std::filesystem::create_hard_link(TESSIV_EXECUTABLE, exe, linked);
    if (linked) std::filesystem::copy_file(TESSIV_EXECUTABLE, exe);
    const std::filesystem::path file = dir / "history.sqlite";

    const std::string name = gbk::FromUtf8("中心-A");
    const std::string url = "http://127.0.0.1:9/status";
    const std::string line = gbk::FromUtf8("连接失败, \"超时\"");
    const auto t0 = MinuteDaysAgo(2);
    StepClock clock;
    PaneLines pane;
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, file, clock, pane);
    Round(store, clock, t0, {Fault(0, name, url, FaultCategory::Connection, line)});
    Round(store, clock, t0 + 60s, {Fault(0, name, url, FaultCategory::Connection, line)});
    Round(store, clock, t0 + 120s, {Normal(0, name, url)});
    store.Flush();

    std::string error;
    auto reader = history::HistoryReader::Open(file, error);
    ASSERT_TRUE(reader) << error;
    const auto outages = reader->Outages(t0 - 24h, t0 + 24h);
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].name, name);
    EXPECT_EQ(outages[0].url, url);
    EXPECT_EQ(outages[0].start, t0);
    EXPECT_EQ(outages[0].end, t0 + 120s);
    EXPECT_EQ(outages[0].firstLine, line);

    // Another writer in the middle of a transaction: the WAL lets the reader go on.
    auto writer = history::sql::Open(file.string(), SQLITE_OPEN_READWRITE);
    history::sql::Exec(writer.get(),
                       "BEGIN IMMEDIATE; INSERT INTO hosts(name, url) VALUES('X', 'http://x/')");

    const Finished csv = RunTessiv(exe, "outages --csv");
    EXPECT_EQ(csv.status, 0) << csv.out;
    EXPECT_EQ(csv.out,
              "server,url,start,end,duration_s,category,line\r\n"
              "中心-A," +
                  url + "," + AtPlusEight(t0) + "," + AtPlusEight(t0 + 120s) +
                  ",120,connection,\"连接失败, \"\"超时\"\"\"\r\n");

    const Finished uptime = RunTessiv(exe, "uptime --days 3 --csv");
    EXPECT_EQ(uptime.status, 0) << uptime.out;
    EXPECT_EQ(uptime.out,
              "server,url,uptime_percent,outages,longest_s,rounds\r\n"
              "中心-A," +
                  url + ",33.33,1,120,3\r\n");

    const Finished table = RunTessiv(exe, "outages");
    EXPECT_EQ(table.status, 0) << table.out;
    EXPECT_NE(table.out.find("中心-A"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("00:02:00"), std::string::npos) << table.out;

    history::sql::Exec(writer.get(), "ROLLBACK");
    EXPECT_TRUE(pane.Taken().empty());
    // The reader changed nothing: the writer's uncommitted host never shows, and the file is still the
    // store's.
    EXPECT_EQ(CountRows(file, "hosts"), 1);

    const Finished bad = RunTessiv(exe, "outages --days 0");
    EXPECT_EQ(bad.status, 2) << bad.out;
    std::filesystem::remove(file);
    const Finished none = RunTessiv(exe, "uptime");
    EXPECT_EQ(none.status, 1) << none.out;
}

}  // namespace
