// The history store through its observer calls, with real SQLite files in a temp folder and a clock the test
// moves; read back through the reader and the file itself.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/history_report.h"
#include "history/history_database.h"
#include "history/history_events.h"
#include "history/history_store.h"
#include "history/sqlite_handle.h"
#include "tests/history/history_support.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using history::HistoryReader;
using history::Outcome;

const std::string kUrlA = "http://127.0.0.1:9/a";
const std::string kUrlB = "http://127.0.0.1:9/b";
const std::string kUrlC = "http://127.0.0.1:9/c";

std::unique_ptr<HistoryReader> OpenReader(const std::filesystem::path& file) {
    std::string error;
    auto reader = HistoryReader::Open(file, error);
    EXPECT_TRUE(reader) << error;
    return reader;
}

// The test's clock, at which the store's writer thread is held once it has written the start: it asks the
// time after each batch. It goes on when the store, closing, asks the time on the test's thread, so whatever
// the test handed over meanwhile is still queued when the store closes.
class HeldWriter {
public:
    explicit HeldWriter(StepClock& clock) : m_clock(clock) {}

    history::TimePoint Now() {
        std::unique_lock hold(m_mutex);
        if (std::this_thread::get_id() == m_test) {
            if (m_closing) m_released = true;
        } else if (!m_released) {
            m_holding = true;
            m_changed.wait_for(hold, std::chrono::seconds(10), [this] { return m_released; });
        }
        m_changed.notify_all();
        return m_clock.Now();
    }
    bool Holding() {
        std::lock_guard hold(m_mutex);
        return m_holding && !m_released;
    }
    void Closing() {
        std::lock_guard hold(m_mutex);
        m_closing = true;
    }

private:
    StepClock& m_clock;
    const std::thread::id m_test = std::this_thread::get_id();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_holding = false;
    bool m_closing = false;
    bool m_released = false;
};

class History : public testing::Test {
protected:
    TempDir dir;
    std::filesystem::path file = dir / "history.sqlite";
    StepClock clock;
    PaneLines pane;
};

TEST_F(History, AFaultOfAnotherCategoryInsideAnOutageLeavesOneOutageWithTheFirstCategory) {
    const auto t0 = MinuteDaysAgo(3);
    {
        history::HistoryStore store;
        clock.Set(t0);
        StartStore(store, file, clock, pane);
        Round(store, clock, t0, {Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached")});
        Round(store, clock, t0 + 60s, {Fault(0, "A", kUrlA, FaultCategory::DiskSpace, "A disk full")});
        Round(store, clock, t0 + 120s, {Normal(0, "A", kUrlA)});
        store.Flush();
    }
    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto outages = reader->Outages(t0 - 1h, t0 + 1h);
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].category, Outcome::Connection);
    EXPECT_EQ(outages[0].firstLine, "A cannot be reached");
    EXPECT_EQ(outages[0].start, t0);
    EXPECT_EQ(outages[0].end, t0 + 120s);
    EXPECT_EQ(outages[0].endedBy, "");

    const auto summaries = reader->Summaries(t0, t0 + 180s, 3);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].rounds, 3);
    EXPECT_NEAR(summaries[0].uptimePercent, 100.0 / 3, 0.01);
    EXPECT_EQ(summaries[0].outages, 1);
    EXPECT_EQ(summaries[0].longest, 120s);
    EXPECT_EQ(summaries[0].timeline, (std::vector{Outcome::Connection, Outcome::DiskSpace, Outcome::Normal}));
    EXPECT_TRUE(reader->OpenOutages().empty());
    EXPECT_TRUE(pane.Taken().empty());
}

// A pauses in the middle of its outage, B is deleted from the list in the middle of its own: both end then,
// and neither a later normal round of A nor C's rounds open or end anything else.
TEST_F(History, AHostPausedOrDeletedMidOutageEndsItsOutage) {
    const auto t0 = MinuteDaysAgo(3);
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, file, clock, pane);
    Round(store, clock, t0,
          {Fault(0, "A", kUrlA, FaultCategory::ServerFault, "A down"),
           Fault(1, "B", kUrlB, FaultCategory::Security, "B attacked"), Normal(2, "C", kUrlC)});
    Round(store, clock, t0 + 60s,
          {Paused(0, "A", kUrlA), Fault(1, "B", kUrlB, FaultCategory::Security, "B attacked"),
           Normal(2, "C", kUrlC)});
    store.Flush();
    {
        auto reader = OpenReader(file);  // while the store still writes
        ASSERT_TRUE(reader);
        const auto open = reader->OpenOutages();
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(open.begin()->first, std::make_pair(std::string("B"), kUrlB));
        EXPECT_EQ(open.begin()->second, t0);
    }
    Round(store, clock, t0 + 120s, {Paused(0, "A", kUrlA), Normal(1, "C", kUrlC)});
    Round(store, clock, t0 + 180s, {Normal(0, "A", kUrlA), Normal(1, "C", kUrlC)});
    store.Flush();

    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto outages = reader->Outages(t0 - 1h, t0 + 1h);
    ASSERT_EQ(outages.size(), 2u);
    std::map<std::string, history::OutageRecord> byName;
    for (const auto& outage : outages) byName[outage.name] = outage;
    EXPECT_EQ(byName["A"].start, t0);
    EXPECT_EQ(byName["A"].end, t0 + 60s);
    EXPECT_EQ(byName["A"].endedBy, "paused");
    EXPECT_EQ(byName["A"].category, Outcome::ServerFault);
    EXPECT_EQ(byName["B"].start, t0);
    EXPECT_EQ(byName["B"].end, t0 + 120s);
    EXPECT_EQ(byName["B"].endedBy, "deleted");
    EXPECT_EQ(byName["B"].category, Outcome::Security);
    EXPECT_TRUE(reader->OpenOutages().empty());
}

// Raw rows go after 14 days while the hour sums and the outage still answer for that time; after keep_days
// those go too.
TEST_F(History, RetentionCutsRawRowsAtFourteenDaysAndTheRestAtKeepDays) {
    const auto t0 = std::chrono::floor<std::chrono::hours>(MinuteDaysAgo(200));
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, file, clock, pane, 30);
    Round(store, clock, t0, {Fault(0, "A", kUrlA, FaultCategory::DbLog, "A log stuck")});
    Round(store, clock, t0 + 60s, {Fault(0, "A", kUrlA, FaultCategory::DbLog, "A log stuck")});
    Round(store, clock, t0 + 120s, {Normal(0, "A", kUrlA)});
    store.Flush();
    EXPECT_EQ(CountRows(file, "rounds"), 3);
    EXPECT_EQ(CountRows(file, "faults"), 2);

    Round(store, clock, t0 + std::chrono::days(15), {Normal(0, "A", kUrlA)});
    store.Flush();
    EXPECT_EQ(CountRows(file, "rounds"), 1);
    EXPECT_EQ(CountRows(file, "faults"), 0);
    {
        auto reader = OpenReader(file);
        ASSERT_TRUE(reader);
        const auto summaries = reader->Summaries(t0 - 1h, t0 + 1h, 2);
        ASSERT_EQ(summaries.size(), 1u);
        EXPECT_EQ(summaries[0].rounds, 3);
        EXPECT_EQ(summaries[0].outages, 1);
        EXPECT_EQ(summaries[0].timeline[0], Outcome::NoData);
        EXPECT_EQ(summaries[0].timeline[1], Outcome::DbLog);
        EXPECT_EQ(reader->Outages(t0 - 1h, t0 + 1h).size(), 1u);
    }

    Round(store, clock, t0 + std::chrono::days(31), {Normal(0, "A", kUrlA)});
    store.Flush();
    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->Summaries(t0 - 1h, t0 + 1h, 2).empty());
    EXPECT_TRUE(reader->Outages(t0 - 1h, t0 + 1h).empty());
    EXPECT_EQ(CountRows(file, "outages"), 0);
    EXPECT_EQ(CountRows(file, "hours"), 2);
    EXPECT_EQ(CountRows(file, "rounds"), 1);
    const auto recent = reader->Summaries(t0 + std::chrono::days(14), t0 + std::chrono::days(32), 1);
    ASSERT_EQ(recent.size(), 1u);
    EXPECT_EQ(recent[0].rounds, 2);
}

TEST_F(History, ACorruptFileIsMovedAsideAndANewHistoryStarted) {
    const std::string junk(8192, 'x');
    WriteFileBytes(file, junk);
    const auto t0 = MinuteDaysAgo(1);
    {
        history::HistoryStore store;
        clock.Set(t0);
        StartStore(store, file, clock, pane);
        Round(store, clock, t0, {Normal(0, "A", kUrlA)});
        Round(store, clock, t0 + 60s, {Normal(0, "A", kUrlA)});
        store.Flush();
    }
    const auto lines = pane.Taken();
    ASSERT_EQ(lines.size(), 1u);
    std::filesystem::path aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().starts_with("history.sqlite.corrupt-")) aside = entry.path();
    ASSERT_FALSE(aside.empty());
    EXPECT_NE(lines[0].find(aside.filename().string()), std::string::npos) << lines[0];
    EXPECT_EQ(ReadFileBytes(aside), junk);

    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto summaries = reader->Summaries(t0 - 1h, t0 + 1h, 1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].rounds, 2);
}

TEST_F(History, AFifoNamedHistorySqliteCostsOneLineAndNeverBlocks) {
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    const auto t0 = MinuteDaysAgo(1);
    {
        history::HistoryStore store;
        clock.Set(t0);
        StartStore(store, file, clock, pane);
        Round(store, clock, t0, {Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached")});
        Round(store, clock, t0 + 60s, {Normal(0, "A", kUrlA)});
        store.Flush();
    }
    const auto lines = pane.Taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("FIFO"), std::string::npos) << lines[0];
    EXPECT_TRUE(std::filesystem::is_fifo(file));
    EXPECT_FALSE(std::filesystem::exists(dir / "history.sqlite-wal"));
}

// The folder is a read-only mount (root ignores a folder's mode): the test runs itself again in a private
// mount namespace.
TEST_F(History, AReadOnlyFolderCostsOneLineAndNeverBlocks) {
    const char* readOnly = std::getenv("TESSIV_READ_ONLY_DIR");
    if (readOnly == nullptr) {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
        const auto mountPoint = dir / "ro";
        std::filesystem::create_directory(mountPoint);
        EXPECT_EQ(RerunInPrivateMounts("TESSIV_READ_ONLY_DIR", mountPoint.string(),
                                       PrivateMount::Tmpfs(mountPoint, "ro")),
                  0);
        return;
    }
    const std::filesystem::path folder = readOnly;
    const auto t0 = MinuteDaysAgo(1);
    {
        history::HistoryStore store;
        clock.Set(t0);
        StartStore(store, folder / "history.sqlite", clock, pane);
        for (int round = 0; round < 3; ++round)
            Round(store, clock, t0 + round * 60s,
                  {Fault(0, "A", kUrlA, FaultCategory::Connection, "A down")});
        store.Flush();
    }
    const auto lines = pane.Taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("history.sqlite"), std::string::npos) << lines[0];
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

// Another program's database (WAL, with no -wal beside it) and a newer Tessiv's (a rollback journal): each
// costs one line, and the file stays byte for byte as it was, with nothing made beside it.
TEST_F(History, AnotherProgramsOrANewerTessivsDatabaseIsLeftAsItWas) {
    const auto t0 = MinuteDaysAgo(1);
    const auto writeRounds = [&](const std::filesystem::path& at, PaneLines& lines) {
        history::HistoryStore store;
        clock.Set(t0);
        StartStore(store, at, clock, lines);
        Round(store, clock, t0, {Fault(0, "A", kUrlA, FaultCategory::Connection, "A down")});
        Round(store, clock, t0 + 60s, {Normal(0, "A", kUrlA)});
        store.Flush();
    };
    const std::filesystem::path foreign = dir / "foreign" / "history.sqlite";
    const std::filesystem::path newer = dir / "newer" / "history.sqlite";
    std::filesystem::create_directories(foreign.parent_path());
    std::filesystem::create_directories(newer.parent_path());
    {
        auto db = history::sql::Open(foreign.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        history::sql::Exec(db.get(), "PRAGMA journal_mode = WAL; CREATE TABLE notes(body TEXT)");
    }
    PaneLines own;
    writeRounds(newer, own);
    {
        auto db = history::sql::Open(newer.string(), SQLITE_OPEN_READWRITE);
        history::sql::Exec(db.get(), "PRAGMA journal_mode = DELETE; PRAGMA user_version = 99");
    }

    for (const auto& [kept, says] :
         {std::pair{foreign, "another program's database"}, std::pair{newer, "written by a newer Tessiv"}}) {
        ASSERT_FALSE(std::filesystem::exists(kept.string() + "-wal"));
        const std::string bytes = ReadFileBytes(kept);
        const auto modified = std::filesystem::last_write_time(kept);
        PaneLines lines;
        writeRounds(kept, lines);
        EXPECT_TRUE(ReadFileBytes(kept) == bytes) << kept << " changed";
        EXPECT_EQ(std::filesystem::last_write_time(kept), modified) << kept;
        for (const char* beside : {"-wal", "-shm", "-journal"})
            EXPECT_FALSE(std::filesystem::exists(kept.string() + beside)) << kept << beside;
        const auto said = lines.Taken();
        EXPECT_EQ(said.size(), 1u) << kept;
        if (!said.empty()) {
            EXPECT_NE(said[0].find(says), std::string::npos) << said[0];
        }
    }
}

// A fault open when the monitor stops ends there; the hours it did not run are no data, neither up nor down,
// and a fault after the next start is an outage of its own.
TEST_F(History, AnOutageOpenWhenTheMonitorStopsEndsThereAndTheTimeOffIsNoData) {
    const auto t0 = std::chrono::floor<std::chrono::hours>(MinuteDaysAgo(3));
    {
        history::HistoryStore store;
        clock.Set(t0);
        StartStore(store, file, clock, pane);
        Round(store, clock, t0, {Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached")});
        Round(store, clock, t0 + 60s,
              {Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached")});
        store.Flush();
        clock.Set(t0 + 90s);
    }
    history::HistoryStore store;
    clock.Set(t0 + 3h);
    StartStore(store, file, clock, pane);
    Round(store, clock, t0 + 3h, {Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached")});
    Round(store, clock, t0 + 3h + 60s, {Normal(0, "A", kUrlA)});
    store.Flush();

    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto outages = reader->Outages(t0 - 1h, t0 + 4h);
    ASSERT_EQ(outages.size(), 2u);
    EXPECT_EQ(outages[1].start, t0);
    EXPECT_EQ(outages[1].end, t0 + 90s);
    EXPECT_EQ(outages[1].endedBy, history::kMonitorStopped);
    EXPECT_EQ(outages[0].start, t0 + 3h);
    EXPECT_EQ(outages[0].end, t0 + 3h + 60s);
    EXPECT_EQ(outages[0].endedBy, "");
    const auto summaries = reader->Summaries(t0, t0 + 4h, 4);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].rounds, 4);
    EXPECT_NEAR(summaries[0].uptimePercent, 25.0, 0.01);
    EXPECT_EQ(summaries[0].outages, 2);
    EXPECT_EQ(summaries[0].longest, 90s);
    EXPECT_EQ(summaries[0].timeline,
              (std::vector{Outcome::Connection, Outcome::NoData, Outcome::NoData, Outcome::Connection}));
    EXPECT_TRUE(reader->OpenOutages().empty());
    EXPECT_TRUE(pane.Taken().empty());
}

// A monitor that ended without a stop (killed, or an older Tessiv) left its outage open: the next start ends
// it at that monitor's last round.
TEST_F(History, AnOutageLeftOpenByAMonitorThatDiedEndsAtItsLastRound) {
    const auto t0 = MinuteDaysAgo(3);
    {
        history::HistoryDatabase db(file);
        EntryResult down = Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached");
        for (const auto t : {t0, t0 + 60s}) {
            history::RoundBatch round{
                {history::EntryRow{t, "A", kUrlA, false, false, 3ms, down.faults}}, true, t};
            db.Write(std::vector<history::HistoryItem>{round});
        }
    }
    history::HistoryStore store;
    clock.Set(t0 + 2h);
    StartStore(store, file, clock, pane);
    store.Flush();
    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto outages = reader->Outages(t0 - 1h, t0 + 3h);
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].end, t0 + 60s);
    EXPECT_EQ(outages[0].endedBy, history::kMonitorStopped);
}

// Rounds still waiting for the writer when the monitor closes its history are each written before it ends.
TEST_F(History, RoundsStillQueuedAtTheCloseAreAllWritten) {
    const auto t0 = MinuteDaysAgo(2);
    const std::vector<bool> normal = {false, false, true, false, true, true};
    {
        HeldWriter writer(clock);
        history::HistoryStore store;
        clock.Set(t0);
        history::HistoryOptions options;
        options.clock = [&writer] { return writer.Now(); };
        store.Start(file, std::move(options), pane.Sink());
        ASSERT_TRUE(WaitFor([&] { return writer.Holding(); }, 10s));
        for (std::size_t round = 0; round < normal.size(); ++round)
            Round(store, clock, t0 + round * 60s,
                  {normal[round] ? Normal(0, "A", kUrlA)
                                 : Fault(0, "A", kUrlA, FaultCategory::Connection, "A cannot be reached")});
        clock.Set(t0 + 330s);
        ASSERT_TRUE(writer.Holding()) << "the writer went on before the close";
        writer.Closing();
    }
    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto summaries = reader->Summaries(t0, t0 + 360s, 6);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].rounds, 6);
    EXPECT_DOUBLE_EQ(summaries[0].uptimePercent, 50.0);
    EXPECT_EQ(summaries[0].timeline, (std::vector{Outcome::Connection, Outcome::Connection, Outcome::Normal,
                                                  Outcome::Connection, Outcome::Normal, Outcome::Normal}));
    const auto outages = reader->Outages(t0 - 1h, t0 + 1h);
    ASSERT_EQ(outages.size(), 2u);
    EXPECT_EQ(outages[1].start, t0);
    EXPECT_EQ(outages[1].end, t0 + 120s);
    EXPECT_EQ(outages[0].start, t0 + 180s);
    EXPECT_EQ(outages[0].end, t0 + 240s);
    EXPECT_TRUE(reader->OpenOutages().empty());
    EXPECT_TRUE(pane.Taken().empty());
}

// Once its raw rows are gone the uptime of a period comes from the hourly sums: rounds and normal rounds
// added over the hours, not the hours' own uptimes averaged. One fault in one hour and a fault and a normal
// round in the next are a third, as `tessiv --history uptime` shows it.
TEST_F(History, TheUptimeOfAPeriodPastTheRawRowsIsExactFromTheHourlySums) {
    const auto hour = std::chrono::floor<std::chrono::hours>(MinuteDaysAgo(20));
    const auto t0 = hour + 59min;
    history::HistoryStore store;
    clock.Set(t0);
    StartStore(store, file, clock, pane);
    Round(store, clock, t0, {Fault(0, "A", kUrlA, FaultCategory::ServerFault, "A down")});
    Round(store, clock, t0 + 60s, {Fault(0, "A", kUrlA, FaultCategory::ServerFault, "A down")});
    Round(store, clock, t0 + 120s, {Normal(0, "A", kUrlA)});
    store.Flush();
    ASSERT_EQ(CountRows(file, "rounds"), 3);

    Round(store, clock, t0 + std::chrono::days(15), {Normal(0, "A", kUrlA)});
    store.Flush();
    ASSERT_EQ(CountRows(file, "rounds"), 1) << "the raw rows were not removed";

    auto reader = OpenReader(file);
    ASSERT_TRUE(reader);
    const auto summaries = reader->Summaries(hour, hour + 3h, 1);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].rounds, 3);
    EXPECT_DOUBLE_EQ(summaries[0].uptimePercent, 100.0 / 3);

    std::ostringstream out;
    std::ostringstream err;
    const history::ReportRequest uptime{history::ReportRequest::Table::Uptime, 1, true};
    EXPECT_EQ(history::PrintReport(uptime, file, hour + std::chrono::days(1), out, err), 0) << err.str();
    EXPECT_EQ(out.str(),
              "server,url,uptime_percent,outages,longest_s,rounds\r\n"
              "A," +
                  kUrlA + ",33.33,1,120,3\r\n");
}

}  // namespace
