// `tessiv --history` as the real executable, beside its own history.sqlite, while a store writes to it and
// another connection holds a write transaction open.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <QList>
#include <QString>

#include "history/history_store.h"
#include "history/sqlite_handle.h"
#include "tests/history/flapping_history.h"
#include "tests/history/history_support.h"
#include "tests/support/child_process.h"
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

// No display of any kind: a program that made a QApplication here would fail. `as` goes before the program
// (another user's rights, say); `args` are all of its arguments.
Finished RunProgram(const std::filesystem::path& exe, const std::string& args, const std::string& as = "") {
    const TempDir out;
    ChildProcess child({"/bin/sh", "-c", as + " '" + exe.string() + "' " + args},
                       {.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
                        .set = {"TZ=CST-8"},
                        .stdoutFile = out / "output",
                        .stderrFile = out / "output"});
    Finished run;
    if (!child.WaitEnd(std::chrono::seconds(60))) return run;
    run.status = child.ExitCode();
    run.out = ReadFileBytes(out / "output");
    return run;
}

Finished RunTessiv(const std::filesystem::path& exe, const std::string& args) {
    return RunProgram(exe, "--history " + args);
}

std::string Quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
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

// A host's text that a spreadsheet would take for a formula is written as text; numbers stay numbers.
TEST(HistoryCommand, CsvKeepsAHostsFormulaLikeTextAsText) {
    TempDir dir;
    const auto t0 = MinuteDaysAgo(1);
    StepClock clock;
    PaneLines pane;
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, dir / "history.sqlite", clock, pane);
    const std::string url = "http://127.0.0.1:9/s";
    const std::string formula = "-HYPERLINK(\"x\")";
    Round(store, clock, t0,
          {Fault(0, "=1+2", url, FaultCategory::Connection, "@SUM(A1)"), Normal(1, formula, url)});
    Round(store, clock, t0 + 60s, {Normal(0, "=1+2", url), Normal(1, formula, url)});
    store.Flush();

    const Finished outages = RunTessiv(TESSIV_EXECUTABLE, "outages --csv --data-dir " + Quoted(dir.path()));
    EXPECT_EQ(outages.status, 0) << outages.out;
    EXPECT_EQ(outages.out, "server,url,start,end,duration_s,category,line\r\n'=1+2," + url + "," +
                               AtPlusEight(t0) + "," + AtPlusEight(t0 + 60s) +
                               ",60,connection,'@SUM(A1)\r\n");
    const Finished uptime = RunTessiv(TESSIV_EXECUTABLE, "uptime --csv --data-dir " + Quoted(dir.path()));
    EXPECT_EQ(uptime.status, 0) << uptime.out;
    EXPECT_EQ(uptime.out,
              "server,url,uptime_percent,outages,longest_s,rounds\r\n"
              "\"'-HYPERLINK(\"\"x\"\")\"," +
                  url + ",100.00,0,0,2\r\n'=1+2," + url + ",50.00,1,60,2\r\n");
}

// A clock set back while a host was down: the outage lasted no time rather than a negative one, as the
// history window's export says too.
TEST(HistoryCommand, AnOutageEndedByAClockSetBackLastsNoTime) {
    TempDir dir;
    const auto t0 = MinuteDaysAgo(1);
    StepClock clock;
    PaneLines pane;
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, dir / "history.sqlite", clock, pane);
    const std::string url = "http://127.0.0.1:9/a";
    Round(store, clock, t0, {Fault(0, "A", url, FaultCategory::Connection, "x")});
    Round(store, clock, t0 - 90s, {Normal(0, "A", url)});
    store.Flush();

    const Finished outages = RunTessiv(TESSIV_EXECUTABLE, "outages --csv --data-dir " + Quoted(dir.path()));
    EXPECT_EQ(outages.status, 0) << outages.out;
    EXPECT_EQ(outages.out, "server,url,start,end,duration_s,category,line\r\nA," + url + "," +
                               AtPlusEight(t0) + "," + AtPlusEight(t0 - 90s) + ",0,connection,x\r\n");
}

// The tables fit a 120-column terminal: the URL only with --urls, the first line without the number, time
// and server its row already shows (and cut to what is left), "-" as the longest outage of a host without
// one.
TEST(HistoryCommand, TablesFitATerminalOfAHundredAndTwentyColumns) {
    TempDir dir;
    const auto t0 = MinuteDaysAgo(1);
    StepClock clock;
    PaneLines pane;
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, dir / "history.sqlite", clock, pane);
    const std::string url = "http://127.0.0.1:9/" + std::string(70, 'u');
    const std::string name = gbk::FromUtf8("中心-A");
    const std::string line = "007 <2026-12-09 08:00:00> ------ " + name + gbk::FromUtf8(" 空间不足 ") +
                             std::string(150, 'x') + gbk::FromUtf8(" 异常") + " ------";
    Round(store, clock, t0, {Fault(0, name, url, FaultCategory::DiskSpace, line), Normal(1, "B", url)});
    store.Flush();

    const auto columns = [](const std::string& utf8Line) {
        std::size_t width = 0;
        for (const uint code : QString::fromStdString(utf8Line).toUcs4()) width += code >= 0x2E80 ? 2 : 1;
        return width;
    };
    const Finished outages = RunTessiv(TESSIV_EXECUTABLE, "outages --data-dir " + Quoted(dir.path()));
    EXPECT_EQ(outages.status, 0) << outages.out;
    EXPECT_EQ(outages.out.find(url), std::string::npos) << outages.out;
    EXPECT_NE(outages.out.find("  空间不足 xxx"), std::string::npos) << outages.out;
    EXPECT_EQ(outages.out.find("08:00:00> "), std::string::npos) << outages.out;
    EXPECT_EQ(outages.out.find("------"), std::string::npos) << outages.out;
    const Finished uptime = RunTessiv(TESSIV_EXECUTABLE, "uptime --data-dir " + Quoted(dir.path()));
    EXPECT_NE(uptime.out.find("\nB  "), std::string::npos) << uptime.out;
    EXPECT_NE(uptime.out.substr(uptime.out.find("\nB  ")).find("  -  "), std::string::npos) << uptime.out;
    const Finished withUrls = RunTessiv(TESSIV_EXECUTABLE, "outages --urls --data-dir " + Quoted(dir.path()));
    EXPECT_NE(withUrls.out.find(url), std::string::npos) << withUrls.out;
    for (const Finished* table : {&outages, &uptime}) {
        std::size_t start = 0;
        for (std::size_t end = 0; (end = table->out.find('\n', start)) != std::string::npos; start = end + 1)
            EXPECT_LE(columns(table->out.substr(start, end - start)), 120u)
                << table->out.substr(start, end - start);
    }
}

// The table and the options in any order, --data-dir too; --headless does not go with --history.
TEST(HistoryCommand, OptionsComeInAnyOrderAndHeadlessIsAUsageError) {
    TempDir dir;
    const auto t0 = MinuteDaysAgo(1);
    StepClock clock;
    PaneLines pane;
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, dir / "history.sqlite", clock, pane);
    Round(store, clock, t0, {Normal(0, "A", "http://127.0.0.1:9/a")});
    store.Flush();

    const std::string expected =
        "server,url,uptime_percent,outages,longest_s,rounds\r\nA,http://127.0.0.1:9/a,100.00,0,0,1\r\n";
    for (const std::string& args : {"--history uptime --data-dir " + Quoted(dir.path()) + " --csv",
                                    "--history --csv --days 2 uptime --data-dir=" + dir.path().string(),
                                    "--data-dir " + Quoted(dir.path()) + " --history --csv uptime"}) {
        const Finished run = RunProgram(TESSIV_EXECUTABLE, args);
        EXPECT_EQ(run.status, 0) << args << "\n" << run.out;
        EXPECT_EQ(run.out, expected) << args;
    }
    for (const std::string args : {"--headless --history uptime", "--history uptime --headless"}) {
        const Finished run = RunProgram(TESSIV_EXECUTABLE, args + " --data-dir " + Quoted(dir.path()));
        EXPECT_EQ(run.status, 2) << args << "\n" << run.out;
        EXPECT_NE(run.out.find("--headless"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("100.00"), std::string::npos) << run.out;
    }
}

// A --data-dir that is no folder, and one that holds another program's database: each says what is wrong,
// and the database is left as it was, with nothing made beside it.
TEST(HistoryCommand, AFolderThatIsNoneOrHoldsAnotherProgramsDatabaseIsNamed) {
    TempDir dir;
    const std::filesystem::path notFolder = dir / "notes.txt";
    WriteFileBytes(notFolder, "x");
    const Finished none = RunTessiv(TESSIV_EXECUTABLE, "uptime --data-dir " + Quoted(notFolder));
    EXPECT_EQ(none.status, 2) << none.out;
    EXPECT_NE(none.out.find("not a folder"), std::string::npos) << none.out;

    const std::filesystem::path file = dir / "history.sqlite";
    {
        auto db = history::sql::Open(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        history::sql::Exec(db.get(),
                           "PRAGMA journal_mode = WAL; CREATE TABLE notes(body TEXT); INSERT INTO notes "
                           "VALUES('kept')");
    }
    ASSERT_FALSE(std::filesystem::exists(dir / "history.sqlite-wal"));
    const std::string bytes = ReadFileBytes(file);
    const Finished foreign = RunTessiv(TESSIV_EXECUTABLE, "outages --data-dir " + Quoted(dir.path()));
    EXPECT_EQ(foreign.status, 1) << foreign.out;
    EXPECT_NE(foreign.out.find("another program's database"), std::string::npos) << foreign.out;
    EXPECT_TRUE(ReadFileBytes(file) == bytes) << file << " changed";
    EXPECT_FALSE(std::filesystem::exists(dir / "history.sqlite-wal"));
    EXPECT_FALSE(std::filesystem::exists(dir / "history.sqlite-shm"));
}

// A folder that cannot be read is not "no history". Root reads any folder: it is tried as nobody then.
TEST(HistoryCommand, AFolderThatCannotBeReadSaysSo) {
    TempDir dir;
    const std::filesystem::path locked = dir / "locked";
    std::filesystem::create_directory(locked);
    {
        StepClock clock;
        PaneLines pane;
        history::HistoryStore store;
        clock.Set(MinuteDaysAgo(1));
        StartStore(store, locked / "history.sqlite", clock, pane);
        Round(store, clock, MinuteDaysAgo(1), {Normal(0, "A", "http://127.0.0.1:9/a")});
        store.Flush();
    }
    std::string as;
    if (::geteuid() == 0) {
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups";
        const Finished runs = RunProgram(TESSIV_EXECUTABLE, "--version", as);
        if (runs.status != 0)
            GTEST_SKIP() << "the test runs as root and cannot run tessiv as nobody (" << runs.out << ")";
        std::filesystem::permissions(dir.path(), std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    } else {
        std::filesystem::permissions(locked, std::filesystem::perms::none);
    }
    const Finished run = RunProgram(TESSIV_EXECUTABLE, "--history uptime --data-dir " + Quoted(locked), as);
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("cannot be read (Permission denied)"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("no history"), std::string::npos) << run.out;
}

}  // namespace

namespace {

// The peak resident memory of `tessiv args`, its output counted and thrown away; -1 when it failed.
long PeakKiB(const std::vector<std::string>& args, std::size_t& lines) {
    std::vector<std::string> all{TESSIV_EXECUTABLE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeEnds[1], 1);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    char buffer[65536];
    lines = 0;
    for (ssize_t got; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        lines += static_cast<std::size_t>(std::count(buffer, buffer + got, '\n'));
    ::close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

}  // namespace

// The outages as CSV are written as they are read: a quarter of a million of them take no more memory than
// a handful do (a list held whole would take some 150 MB more).
TEST(HistoryCommand, OutagesAsCsvTakeTheSameMemoryHoweverManyThereAre) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers keep freed memory for a while, so the peak says nothing of the program's";
#endif
    TempDir few;
    TempDir many;
    const history::TimePoint now = history::Clock::now();
    WriteFlappingHistory(few / history::kHistoryFileName, {.hosts = 1, .days = 2, .flapDays = 0}, now);
    WriteFlappingHistory(many / history::kHistoryFileName, {.hosts = 50, .days = 8, .flapDays = 7}, now);
    std::size_t fewLines = 0;
    std::size_t manyLines = 0;
    const long small = PeakKiB(
        {"--history", "outages", "--days", "8", "--csv", "--data-dir", few.path().string()}, fewLines);
    const long large = PeakKiB(
        {"--history", "outages", "--days", "8", "--csv", "--data-dir", many.path().string()}, manyLines);
    ASSERT_GT(small, 0);
    ASSERT_GT(large, 0);
    EXPECT_LT(fewLines, 10u);
    EXPECT_GT(manyLines, 250'000u);
    EXPECT_LT(large - small, 24 * 1024)
        << small << " KiB with " << fewLines << " lines, " << large << " KiB with " << manyLines;
}
