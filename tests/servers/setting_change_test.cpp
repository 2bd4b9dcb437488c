// The real window and its server list when another program edits Setting.ini meanwhile, or Setting.ini is
// not a file the list can be saved to.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/tessiv_dlg.h"
#include "servers/setting_file.h"
#include "servers/ui/server_list_dialog.h"
#include "tests/support/monitor_fixture.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Entries = std::vector<std::string>;

// Appends as an editor's "save" of one added line would leave the file.
void AppendLine(const fs::path& file, const std::string& line) {
    std::ofstream(file, std::ios::binary | std::ios::app) << line << "\r\n";
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

using SettingChange = MonitorFixture;

TEST_F(SettingChange, AnOutsideEditIsKeptAndPolledFromTheNextRound) {
    // A answers with a fault that raises no alarm, so its state is "false" and must stay so across re-reads.
    StatusHost hostA(Scenario{.apps = {{"worker", "t"}}});
    StatusHost hostB;
    StatusHost hostC;
    const std::string lineA = "A," + hostA.url() + "@1";
    const std::string lineB = "B," + hostB.url() + "@1";
    const std::string lineC = "C," + hostC.url() + "@1";
    Open({lineA}, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hostA.requestCount() >= 1; }, 10000));
    const std::string reloaded = gbk::FromUtf8(kSettingReloadedText);

    // Added while the list is open; rounds run on, but the list is not swapped under the dialog.
    ModalDriver driver([&](CServerInfodlg& list) {
        AppendLine(settingFile, lineB);
        const int seen = hostA.requestCount();
        EXPECT_TRUE(QTest::qWaitFor([&] { return hostA.requestCount() >= seen + 2; }, 10000));
        EXPECT_EQ(window->Core().Servers().Entries(), Entries{lineA});
        CloseList(list);
    });
    ManageServers(driver);
    EXPECT_TRUE(driver.messages().isEmpty());
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({lineA, lineB}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(window->Core().RunLog(), " B ") >= 2; }, 10000))
        << window->Core().RunLog();
    EXPECT_GE(hostB.requestCount(), 2);
    EXPECT_EQ(Count(window->Core().RunLog(), reloaded), 1) << window->Core().RunLog();
    EXPECT_TRUE(RunPane().contains(QString::fromUtf8(kSettingReloadedText)));
    EXPECT_EQ(window->Core().Servers().States(), (Entries{kStateFalse, kStateTrue}));

    // Added with no dialog open: the next round takes it, A keeping its state.
    AppendLine(settingFile, lineC);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(window->Core().RunLog(), " C ") >= 2; }, 10000))
        << window->Core().RunLog();
    EXPECT_EQ(Count(window->Core().RunLog(), reloaded), 2) << window->Core().RunLog();
    EXPECT_EQ(window->Core().Servers().Entries(), (Entries{lineA, lineB, lineC}));
    EXPECT_EQ(window->Core().Servers().States(), (Entries{kStateFalse, kStateTrue, kStateTrue}));
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({lineA, lineB, lineC}));
}

TEST_F(SettingChange, BothListsChangedSavesTheOperatorsAndKeepsTheOtherBesideIt) {
    const Entries before = {"A,http://192.0.2.1/s@1", "B,http://192.0.2.2/s@1"};
    Open(before);
    // Another program writes its own list, LF line ends and all, while the operator pauses A.
    const std::string outside = "A,http://192.0.2.1/s@1\nB,http://192.0.2.2/s@1\nX,http://192.0.2.9/s@1\n";
    ModalDriver driver([&](CServerInfodlg& list) {
        auto* table = list.findChild<QTableWidget*>(QStringLiteral("m_listServers"));
        table->item(0, 0)->setCheckState(Qt::Checked);
        QTest::mouseClick(list.findChild<QPushButton*>(QStringLiteral("pauseButton")), Qt::LeftButton);
        WriteFileBytes(settingFile, outside);
        CloseList(list);
    });
    ManageServers(driver);

    const Entries operators = {"A,http://192.0.2.1/s@0", "B,http://192.0.2.2/s@1"};
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines(operators));
    const fs::path conflict = dir / "Setting.ini.conflict";
    EXPECT_EQ(ReadFileBytes(conflict), outside);
    ASSERT_EQ(driver.messages().size(), 1);
    EXPECT_TRUE(driver.messages()[0].contains(QString::fromStdString(conflict.string())))
        << driver.messages()[0].toStdString();
    EXPECT_EQ(window->Core().Servers().Entries(), operators);
}

TEST_F(SettingChange, AFifoAsSettingIniIsReportedAsNotARegularFile) {
    ASSERT_EQ(::mkfifo(settingFile.c_str(), 0644), 0);
    Open();
    window->Core().Servers().Reset({"A,http://192.0.2.1/s@1"});  // nothing loads from a FIFO
    ModalDriver driver([&](CServerInfodlg& list) { CloseList(list); });
    ManageServers(driver);

    ASSERT_EQ(driver.messages().size(), 1);
    const QString message = driver.messages()[0];
    EXPECT_TRUE(message.contains(QString::fromStdString(settingFile.string()))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("not a regular file"), Qt::CaseInsensitive))
        << message.toStdString();
    struct stat info {};
    ASSERT_EQ(::stat(settingFile.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(window->Core().Servers().Entries(), Entries{"A,http://192.0.2.1/s@1"});
}

}  // namespace
