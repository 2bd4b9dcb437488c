// Maintenance set from the server list's row menu, through the real window and its injected clock: the entry
// is paused across a restart and polled again once the clock passes the end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "monitor/tessiv_dlg.h"
#include "servers/ui/server_list_dialog.h"
#include "tests/support/monitor_fixture.h"
#include "text/gbk.h"
#include "text/time_text.h"
#include "tools/status_host.h"

namespace {

namespace fs = std::filesystem;

std::time_t LocalTime(int year, int month, int day, int hour, int minute) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_isdst = -1;
    return std::mktime(&fields);
}

// "2026-12-09T08:00:00+08:00" for the test's own time zone.
std::string Iso(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    const long minutes = (local.tm_gmtoff < 0 ? -local.tm_gmtoff : local.tm_gmtoff) / 60;
    char zone[32];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", local.tm_gmtoff < 0 ? '-' : '+',
                  static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    return FormatLocalTime(when, "%Y-%m-%dT%H:%M:%S") + zone;
}

QTableWidget* Table(CServerInfodlg& list) {
    return list.findChild<QTableWidget*>(QStringLiteral("m_listServers"));
}

// Right-clicks the row and picks `pick` from the menu that comes up.
void PickFromRowMenu(QTableWidget* table, int row, const QString& pick) {
    const QPoint at = table->visualItemRect(table->item(row, 0)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, table->viewport()->mapToGlobal(at));
    EXPECT_TRUE(ContextMenuEntries(table->viewport(), event, pick).contains(pick)) << pick.toStdString();
}

QStringList RowToolTips(QTableWidget* table, int row) {
    QStringList tips;
    for (int column = 0; column < table->columnCount(); ++column) tips << table->item(row, column)->toolTip();
    return tips;
}

class MaintenanceFromTheList : public MonitorFixture {
protected:
    MonitorSettings WithClock() const {
        MonitorSettings settings = Settings(true);
        settings.clock = [now = now] { return now->load(); };
        return settings;
    }
    // The tool tips of a row as the list shows them when opened.
    QStringList ListedToolTips(int row) {
        QStringList tips;
        ModalDriver driver([&](CServerInfodlg& list) {
            tips = RowToolTips(Table(list), row);
            CloseList(list);
        });
        ManageServers(driver);
        return tips;
    }

    std::shared_ptr<std::atomic<std::time_t>> now =
        std::make_shared<std::atomic<std::time_t>>(LocalTime(2026, 12, 9, 7, 0));
    fs::path stateFile = dir / "maintenance.ini";
};

TEST_F(MaintenanceFromTheList, AnHourPausesTheEntryAcrossARestartAndThePassingClockEndsIt) {
    StatusHost hostA;
    StatusHost hostB;  // polled all along: its requests count the rounds
    const std::string headA = "Center-A," + hostA.url();
    const std::string lineB = "B," + hostB.url() + "@1";
    WriteFileBytes(settingFile, CrLfLines({headA + "@1", lineB}));
    OpenWith(WithClock());
    ASSERT_TRUE(QTest::qWaitFor([&] { return hostA.requestCount() >= 1; }, 10000));

    const std::time_t end = *now + 60 * 60;
    const QStringList until(
        3, QString::fromUtf8("维护至 ") + QString::fromStdString(FormatLocalTime(end, "%Y-%m-%d %H:%M")));
    QStringList tipsSet;
    ModalDriver driver([&](CServerInfodlg& list) {
        PickFromRowMenu(Table(list), 0, QString::fromUtf8("维护 1 小时"));
        tipsSet = RowToolTips(Table(list), 0);
        CloseList(list);
    });
    ManageServers(driver);
    EXPECT_TRUE(driver.messages().isEmpty()) << driver.messages().join('\n').toStdString();
    EXPECT_EQ(tipsSet, until);
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({headA + "@0", lineB}));
    EXPECT_EQ(ReadFileBytes(stateFile), headA + "=" + Iso(end) + "\r\n");
    EXPECT_TRUE(RunPane().contains(QString::fromUtf8("<2026-12-09 07:00:00> Center-A 开始维护，至 ") +
                                   QString::fromStdString(FormatLocalTime(end, "%Y-%m-%d %H:%M"))))
        << RunPane().toStdString();

    // Paused: the rounds go on without it.
    int seenA = hostA.requestCount();
    int seenB = hostB.requestCount();
    ASSERT_TRUE(QTest::qWaitFor([&] { return hostB.requestCount() >= seenB + 3; }, 10000));
    EXPECT_EQ(hostA.requestCount(), seenA);

    // A restart half way through keeps it paused and shows the end.
    window.reset();
    *now = end - 30 * 60;
    OpenWith(WithClock());
    seenB = hostB.requestCount();
    ASSERT_TRUE(QTest::qWaitFor([&] { return hostB.requestCount() >= seenB + 3; }, 10000));
    EXPECT_EQ(hostA.requestCount(), seenA);
    EXPECT_EQ(ListedToolTips(0), until);
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({headA + "@0", lineB}));
    EXPECT_TRUE(fs::exists(stateFile));

    // The clock passes the end: the next round's start enables it again.
    *now = end + 1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return hostA.requestCount() > seenA; }, 10000))
        << window->Core().RunLog();
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({headA + "@1", lineB}));
    EXPECT_FALSE(fs::exists(stateFile));
    const QString ended = QString::fromStdString("<" + FormatLocalTime(end + 1, kPaneTimeFormat) + "> ") +
                          QString::fromUtf8("Center-A 维护结束，已恢复监控");
    EXPECT_EQ(RunPane().count(ended), 1) << RunPane().toStdString();
    EXPECT_EQ(ListedToolTips(0), QStringList(3, QString()));
}

// A faulty host sent into maintenance no longer holds the alarm: the next round's end gives the all-clear.
TEST_F(MaintenanceFromTheList, MaintenanceOfTheFaultyHostEndsTheAlarm) {
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    StatusHost normal;
    WriteFileBytes(settingFile, CrLfLines({"F," + faulty.url() + "@1", "N," + normal.url() + "@1"}));
    OpenWith(WithClock());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IsSounding(); }, 10000)) << window->Core().RunLog();

    ModalDriver driver([&](CServerInfodlg& list) {
        PickFromRowMenu(Table(list), 0, QString::fromUtf8("维护 1 小时"));
        CloseList(list);
    });
    ManageServers(driver);
    const int seen = normal.requestCount();
    ASSERT_TRUE(QTest::qWaitFor([&] { return normal.requestCount() >= seen + 2; }, 10000));
    EXPECT_FALSE(window->IsSounding());
    EXPECT_TRUE(window->Core().AlarmLog().empty()) << window->Core().AlarmLog();
}

TEST_F(MaintenanceFromTheList, OneEndedWhileClosedEndsAtStartAndADeletedEntryDropsItsOwn) {
    const std::string headA = "A,http://192.0.2.1/s";
    const std::string headB = "B,http://192.0.2.2/s";
    WriteFileBytes(settingFile, CrLfLines({headA + "@0", headB + "@0"}));
    WriteFileBytes(stateFile, headA + "=" + Iso(*now - 60) + "\r\n" + headB + "=" + Iso(*now + 60) + "\r\n");
    MonitorSettings settings = Settings();
    settings.clock = [now = now] { return now->load(); };
    OpenWith(std::move(settings));

    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({headA + "@1", headB + "@0"}));
    EXPECT_EQ(ReadFileBytes(stateFile), headB + "=" + Iso(*now + 60) + "\r\n");
    EXPECT_TRUE(RunPane().contains(QString::fromUtf8("A 维护结束，已恢复监控"))) << RunPane().toStdString();

    ModalDriver driver([&](CServerInfodlg& list) {
        Table(list)->item(1, 0)->setCheckState(Qt::Checked);
        QTest::mouseClick(list.findChild<QPushButton*>(QStringLiteral("deleteButton")), Qt::LeftButton);
        CloseList(list);
    });
    ManageServers(driver);
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({headA + "@1"}));
    EXPECT_FALSE(fs::exists(stateFile));
}

}  // namespace
