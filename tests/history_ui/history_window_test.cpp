// The history window driven through its widgets, on a history held in memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "history/history_store.h"
#include "history/ui/history_window.h"
#include "history/ui/host_table_model.h"
#include "ports/round_observer.h"
#include "tests/history_ui/fake_history.h"
#include "tests/history_ui/window_reads.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;
using history::Outcome;

// 2026-01-02 12:00:00 UTC, 20:00 in the test's time zone (UTC+8, no daylight saving).
const history::TimePoint kNow =
    history::TimePoint(std::chrono::sys_days(std::chrono::year(2026) / 1 / 2)) + 12h;

QString Cell(QTableView* view, int row, int column) {
    return view->model()->index(row, column).data().toString();
}

QTableView* Table(QWidget& window, const char* accessibleName) {
    for (QTableView* view : window.findChildren<QTableView*>())
        if (view->accessibleName() == QString::fromUtf8(accessibleName)) return view;
    return nullptr;
}

class HistoryWindowTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "CST-8", 1);
        tzset();
        const std::string center = gbk::FromUtf8("中心-A");
        data->hosts = {
            {center,
             "http://a/s",
             100,
             97.5,
             2,
             45min,
             {Outcome::Normal, Outcome::ServerFault, Outcome::Normal, Outcome::Connection}},
            {"B",
             "http://b/s",
             0,
             0,
             0,
             0s,
             {Outcome::NoData, Outcome::NoData, Outcome::NoData, Outcome::NoData}},
        };
        data->outages = {
            {center, "http://a/s", kNow - 30min, std::nullopt, "", Outcome::ServerFault,
             gbk::FromUtf8("001 <t> ------ 中心-A, \"主\" 异常 ------\r\n")},
            {center, "http://a/s", kNow - 5h, kNow - 4h - 15min, "", Outcome::Connection, "x"},
        };
        HistoryWindowOptions options;
        options.now = [] { return kNow; };
        options.hostsNow = [center] {
            return history::HostsNow{{{center, "http://a/s"}, {"Quarlex异常", kNow - 30min}}};
        };
        options.exportFile = [this](QWidget*, const QString&) {
            return QString::fromStdString((dir / "outages.csv").string());
        };
        window = std::make_unique<HistoryWindow>(data->Reader(data), options);
        window->show();
    }
    void TearDown() override { unsetenv("TZ"); }

    TempDir dir;
    std::shared_ptr<FakeHistory> data = std::make_shared<FakeHistory>();
    std::unique_ptr<HistoryWindow> window;
};

TEST_F(HistoryWindowTest, ShowsHostsTheOutagesOfOneAndExportsThemAsCsv) {
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("历史记录"));
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (qobject_cast<QPushButton*>(control) || qobject_cast<QComboBox*>(control) ||
            qobject_cast<QTableView*>(control)) {
            EXPECT_FALSE(control->accessibleName().isEmpty()) << control->metaObject()->className();
        }
    }

    // The last 24 hours, one row per host.
    ASSERT_TRUE(HistorySettled(*window)) << HistoryStatus(*window).toStdString();
    ASSERT_FALSE(data->summaryAsks.empty());
    EXPECT_EQ(data->summaryAsks.back().to, kNow);
    EXPECT_EQ(data->summaryAsks.back().to - data->summaryAsks.back().from, 24h);
    QTableView* hosts = Table(*window, "服务器");
    QTableView* outages = Table(*window, "中断记录");
    ASSERT_TRUE(hosts && outages);
    ASSERT_EQ(hosts->model()->rowCount(), 2);
    EXPECT_EQ(Cell(hosts, 0, 0), QString::fromUtf8("中心-A"));
    EXPECT_EQ(Cell(hosts, 0, HostTableModel::kState), QString::fromUtf8("Quarlex异常"));
    EXPECT_EQ(Cell(hosts, 0, HostTableModel::kSince), QStringLiteral("2026-01-02 19:30:00"));
    EXPECT_EQ(Cell(hosts, 1, HostTableModel::kState), QString());
    EXPECT_EQ(Cell(hosts, 0, HostTableModel::kUptime), QStringLiteral("97.5%"));
    EXPECT_EQ(Cell(hosts, 0, HostTableModel::kOutages), QStringLiteral("2"));
    EXPECT_EQ(Cell(hosts, 0, HostTableModel::kLongest), QString::fromUtf8("45 分 0 秒"));
    EXPECT_EQ(Cell(hosts, 1, HostTableModel::kUptime), QString::fromUtf8("无数据"));

    // Selecting the host lists its outages, newest first; the open one is 进行中 and lasts until now.
    QTest::mouseClick(hosts->viewport(), Qt::LeftButton, {},
                      hosts->visualRect(hosts->model()->index(0, 0)).center());
    ASSERT_TRUE(HistorySettled(*window));
    EXPECT_EQ(data->outageAsks.back(), gbk::FromUtf8("中心-A"));
    ASSERT_EQ(outages->model()->rowCount(), 2);
    EXPECT_EQ(Cell(outages, 0, 1), QStringLiteral("2026-01-02 19:30:00"));
    EXPECT_EQ(Cell(outages, 0, 2), QString::fromUtf8("进行中"));
    EXPECT_EQ(Cell(outages, 0, 3), QString::fromUtf8("30 分 0 秒"));
    EXPECT_EQ(Cell(outages, 0, 4), QString::fromUtf8("Quarlex异常"));
    EXPECT_EQ(Cell(outages, 0, 5), QString::fromUtf8("001 <t> ------ 中心-A, \"主\" 异常 ------"));
    EXPECT_EQ(Cell(outages, 1, 2), QStringLiteral("2026-01-02 15:45:00"));
    // Times are shown to the second, not cut off.
    const int timeWidth = outages->fontMetrics().horizontalAdvance(QStringLiteral("2026-01-02 19:30:00"));
    EXPECT_GE(outages->columnWidth(1), timeWidth);
    EXPECT_GE(hosts->columnWidth(HostTableModel::kSince), timeWidth);

    // 7 天 asks for a week, and the host stays selected.
    auto* range = window->findChild<QComboBox*>();
    ASSERT_NE(range, nullptr);
    QTest::keyClick(range, Qt::Key_Down);
    EXPECT_EQ(range->currentText(), QString::fromUtf8("7 天"));
    ASSERT_TRUE(HistorySettled(*window));
    EXPECT_EQ(data->summaryAsks.back().to - data->summaryAsks.back().from, 24h * 7);
    EXPECT_EQ(data->outageAsks.back(), gbk::FromUtf8("中心-A"));
    EXPECT_EQ(outages->model()->rowCount(), 2);

    QPushButton* exportButton = nullptr;
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->text().startsWith(QString::fromUtf8("导出"))) exportButton = button;
    ASSERT_NE(exportButton, nullptr);
    QTest::mouseClick(exportButton, Qt::LeftButton);
    ASSERT_TRUE(HistorySettled(*window));
    EXPECT_EQ(ReadFileBytes(dir / "outages.csv"),
              "\xEF\xBB\xBF"
              "server,url,start,end,duration_s,category,line\r\n"
              "中心-A,http://a/s,2026-01-02T19:30:00+08:00,,1800,server,"
              "\"001 <t> ------ 中心-A, \"\"主\"\" 异常 ------\"\r\n"
              "中心-A,http://a/s,2026-01-02T15:00:00+08:00,2026-01-02T15:45:00+08:00,2700,connection,x\r\n");
}

// A slow read keeps the window neither waiting nor blank: it shows what it had until the new answer is there,
// and closing it while a read runs takes it away at once.
TEST_F(HistoryWindowTest, ShowsItsLastAnswerWhileAReadIsSlowAndThenTheNewOne) {
    ASSERT_TRUE(HistorySettled(*window));
    QTableView* hosts = Table(*window, "服务器");
    ASSERT_EQ(hosts->model()->rowCount(), 2);
    auto* range = window->findChild<QComboBox*>();
    ASSERT_NE(range, nullptr);
    {
        std::unique_lock slow(data->gate);
        window->Refresh();
        QTest::keyClick(range, Qt::Key_Down);
        EXPECT_EQ(range->currentText(), QString::fromUtf8("7 天"));
        QApplication::processEvents();
        EXPECT_TRUE(HistoryStatus(*window).contains(QString::fromUtf8("正在读取")));
        ASSERT_EQ(hosts->model()->rowCount(), 2);
        EXPECT_EQ(Cell(hosts, 0, 0), QString::fromUtf8("中心-A"));
        data->hosts.resize(1);
        data->hosts[0].name = "C";
    }
    ASSERT_TRUE(HistorySettled(*window));
    ASSERT_EQ(hosts->model()->rowCount(), 1);
    EXPECT_EQ(Cell(hosts, 0, 0), QStringLiteral("C"));
    EXPECT_EQ(HistoryStatus(*window), QString::fromUtf8("1 台服务器"));

    std::unique_lock slow(data->gate);
    const auto [started, done] = [&] {
        const std::lock_guard lock(data->mutex);
        return std::pair{data->summariesStarted, data->summariesDone};
    }();
    window->Refresh();
    // Closed while the read runs, not while it still waits to start.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::lock_guard lock(data->mutex);
            return data->summariesStarted == started + 1;
        },
        15000));
    window.reset();
    slow.unlock();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const std::lock_guard lock(data->mutex);
            return data->summariesDone == done + 1;
        },
        15000));
    QApplication::processEvents();
}

// The window on what the store wrote: a normal round, then a fault that is still open.
TEST_F(HistoryWindowTest, ReadsWhatTheStoreWrote) {
    history::TimePoint now = kNow - 2h;
    history::HistoryStore store;
    store.Start(dir / "history.sqlite", {.clock = [&now] { return now; }}, [](std::string) {});
    const std::string line = gbk::FromUtf8("001 <t> ------ 中心-A 异常 ------");
    for (bool normal : {true, false}) {
        EntryResult result{0, gbk::FromUtf8("中心-A"), "http://a/s", false, normal, 1ms, {}};
        if (!normal) result.faults.push_back({line, FaultCategory::ServerFault});
        store.EntryPolled(result);
        store.RoundEnded(1);
        store.Flush();
        now += 1h;
    }
    std::string error;
    std::unique_ptr<history::HistoryReader> reader =
        history::HistoryReader::Open(dir / "history.sqlite", error);
    ASSERT_NE(reader, nullptr) << error;
    HistoryWindowOptions options;
    options.now = [] { return kNow; };
    HistoryWindow real(std::move(reader), options);
    real.show();
    QTableView* hosts = Table(real, "服务器");
    QTableView* outages = Table(real, "中断记录");
    ASSERT_TRUE(HistorySettled(real));
    ASSERT_EQ(hosts->model()->rowCount(), 1);
    EXPECT_EQ(Cell(hosts, 0, 0), QString::fromUtf8("中心-A"));
    EXPECT_EQ(Cell(hosts, 0, HostTableModel::kOutages), QStringLiteral("1"));
    QTest::mouseClick(hosts->viewport(), Qt::LeftButton, {},
                      hosts->visualRect(hosts->model()->index(0, 0)).center());
    ASSERT_TRUE(HistorySettled(real));
    ASSERT_EQ(outages->model()->rowCount(), 1);
    EXPECT_EQ(Cell(outages, 0, 1), QStringLiteral("2026-01-02 19:00:00"));
    EXPECT_EQ(Cell(outages, 0, 2), QString::fromUtf8("进行中"));
    EXPECT_EQ(Cell(outages, 0, 5), QString::fromUtf8("001 <t> ------ 中心-A 异常 ------"));
}

// A host's text that a spreadsheet would take for a formula is exported as text; numbers stay numbers.
TEST_F(HistoryWindowTest, ExportKeepsAHostsFormulaLikeTextAsText) {
    ASSERT_TRUE(HistorySettled(*window));
    data->outages = {
        {"=1+2", "@http://a/s", kNow - 5h, kNow - 4h, "", Outcome::Connection, "+cmd|' /C calc'!A0"},
        {"-2", "http://b/s", kNow - 6h, kNow - 5h, "", Outcome::Connection, "a=b"}};
    window->Refresh();
    ASSERT_TRUE(HistorySettled(*window));
    QPushButton* exportButton = nullptr;
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->text().startsWith(QString::fromUtf8("导出"))) exportButton = button;
    ASSERT_NE(exportButton, nullptr);
    QTest::mouseClick(exportButton, Qt::LeftButton);
    ASSERT_TRUE(HistorySettled(*window));
    EXPECT_EQ(ReadFileBytes(dir / "outages.csv"),
              "\xEF\xBB\xBF"
              "server,url,start,end,duration_s,category,line\r\n"
              "'=1+2,'@http://a/s,2026-01-02T15:00:00+08:00,2026-01-02T16:00:00+08:00,3600,connection,"
              "'+cmd|' /C calc'!A0\r\n"
              "'-2,http://b/s,2026-01-02T14:00:00+08:00,2026-01-02T15:00:00+08:00,3600,connection,a=b\r\n");
}

}  // namespace
