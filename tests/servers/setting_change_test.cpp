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
#include "tests/support/modal_watchdog.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Entries = std::vector<std::string>;

std::string CrLfLines(const Entries& entries) {
    std::string text;
    for (const std::string& line : entries) text += line + "\r\n";
    return text;
}

// Appends as an editor's "save" of one added line would leave the file.
void AppendLine(const fs::path& file, const std::string& line) {
    std::ofstream(file, std::ios::binary | std::ios::app) << line << "\r\n";
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Acts on the server list dialog once it is up, and records and closes every message box.
class ModalDriver {
public:
    explicit ModalDriver(std::function<void(CServerInfodlg&)> onList) : m_onList(std::move(onList)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
                m_messages.push_back(box->text());
                box->done(QMessageBox::Ok);
            } else if (auto* list = qobject_cast<CServerInfodlg*>(modal); list != nullptr && !m_listSeen) {
                m_listSeen = true;
                // Run outside this handler: the timer does not fire again while it runs, and the action
                // may bring up a message box.
                QTimer::singleShot(0, list, [this, list] { m_onList(*list); });
            }
        });
        m_timer.start(5);
    }
    bool listSeen() const { return m_listSeen; }
    const QStringList& messages() const { return m_messages; }

private:
    std::function<void(CServerInfodlg&)> m_onList;
    QTimer m_timer;
    bool m_listSeen = false;
    QStringList m_messages;
};

class SettingChange : public testing::Test {
protected:
    MonitorSettings Settings(bool rounds) {
        MonitorSettings settings;
        settings.dataDir = dir.path();
        settings.pacing = rounds ? Pacing{0ms, 0ms, 0ms, 20ms} : Pacing{1h, 1h, 1h, 1h};
        settings.installCrashHandler = false;
        return settings;
    }

    std::unique_ptr<CTessivDlg> Open(bool rounds) {
        auto window = std::make_unique<CTessivDlg>(Settings(rounds));
        window->show();
        return window;
    }

    // Clicks 管理服务器; `driver` handles the dialog and any message. Returns once the list has closed.
    static void ManageServers(CTessivDlg& window, const ModalDriver& driver) {
        for (QPushButton* button : window.findChildren<QPushButton*>())
            if (button->text() == QString::fromUtf8("管理服务器")) QTest::mouseClick(button, Qt::LeftButton);
        ASSERT_TRUE(driver.listSeen());
        QTest::qWait(50);  // a late message box would be up by now
    }

    static QString RunPane(CTessivDlg& window) {
        return window.findChildren<QPlainTextEdit*>()[0]->toPlainText();
    }

    static void CloseList(CServerInfodlg& list) {
        QTest::keyClick(list.findChild<QTableWidget*>(QStringLiteral("m_listServers")), Qt::Key_Escape);
    }

    ModalWatchdog watchdog;
    TempDir dir;
    fs::path settingFile = dir / kSettingFileName;
};

TEST_F(SettingChange, AnOutsideEditIsKeptAndPolledFromTheNextRound) {
    // A answers with a fault that raises no alarm, so its state is "false" and must stay so across re-reads.
    StatusHost hostA(Scenario{.apps = {{"worker", "t"}}});
    StatusHost hostB;
    StatusHost hostC;
    const std::string lineA = "A," + hostA.url() + "@1";
    const std::string lineB = "B," + hostB.url() + "@1";
    const std::string lineC = "C," + hostC.url() + "@1";
    WriteFileBytes(settingFile, CrLfLines({lineA}));
    auto window = Open(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hostA.requestCount() >= 1; }, 10000));
    const std::string reloaded = gbk::FromUtf8(kSettingReloadedText);

    // Added while the list is open; rounds run on, but the list is not swapped under the dialog.
    ModalDriver driver([&](CServerInfodlg& list) {
        AppendLine(settingFile, lineB);
        const int seen = hostA.requestCount();
        EXPECT_TRUE(QTest::qWaitFor([&] { return hostA.requestCount() >= seen + 2; }, 10000));
        EXPECT_EQ(window->Servers().Entries(), Entries{lineA});
        CloseList(list);
    });
    ManageServers(*window, driver);
    EXPECT_TRUE(driver.messages().isEmpty());
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({lineA, lineB}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(window->RunLog(), " B ") >= 2; }, 10000))
        << window->RunLog();
    EXPECT_GE(hostB.requestCount(), 2);
    EXPECT_EQ(Count(window->RunLog(), reloaded), 1) << window->RunLog();
    EXPECT_TRUE(RunPane(*window).contains(QString::fromUtf8(kSettingReloadedText)));
    EXPECT_EQ(window->Servers().States(), (Entries{kStateFalse, kStateTrue}));

    // Added with no dialog open: the next round takes it, A keeping its state.
    AppendLine(settingFile, lineC);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(window->RunLog(), " C ") >= 2; }, 10000))
        << window->RunLog();
    EXPECT_EQ(Count(window->RunLog(), reloaded), 2) << window->RunLog();
    EXPECT_EQ(window->Servers().Entries(), (Entries{lineA, lineB, lineC}));
    EXPECT_EQ(window->Servers().States(), (Entries{kStateFalse, kStateTrue, kStateTrue}));
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines({lineA, lineB, lineC}));
}

TEST_F(SettingChange, BothListsChangedSavesTheOperatorsAndKeepsTheOtherBesideIt) {
    const Entries before = {"A,http://192.0.2.1/s@1", "B,http://192.0.2.2/s@1"};
    WriteFileBytes(settingFile, CrLfLines(before));
    auto window = Open(false);
    // Another program writes its own list, LF line ends and all, while the operator pauses A.
    const std::string outside = "A,http://192.0.2.1/s@1\nB,http://192.0.2.2/s@1\nX,http://192.0.2.9/s@1\n";
    ModalDriver driver([&](CServerInfodlg& list) {
        auto* table = list.findChild<QTableWidget*>(QStringLiteral("m_listServers"));
        table->item(0, 0)->setCheckState(Qt::Checked);
        QTest::mouseClick(list.findChild<QPushButton*>(QStringLiteral("pauseButton")), Qt::LeftButton);
        WriteFileBytes(settingFile, outside);
        CloseList(list);
    });
    ManageServers(*window, driver);

    const Entries operators = {"A,http://192.0.2.1/s@0", "B,http://192.0.2.2/s@1"};
    EXPECT_EQ(ReadFileBytes(settingFile), CrLfLines(operators));
    const fs::path conflict = dir / "Setting.ini.conflict";
    EXPECT_EQ(ReadFileBytes(conflict), outside);
    ASSERT_EQ(driver.messages().size(), 1);
    EXPECT_TRUE(driver.messages()[0].contains(QString::fromStdString(conflict.string())))
        << driver.messages()[0].toStdString();
    EXPECT_EQ(window->Servers().Entries(), operators);
}

TEST_F(SettingChange, AFifoAsSettingIniIsReportedAsNotARegularFile) {
    ASSERT_EQ(::mkfifo(settingFile.c_str(), 0644), 0);
    auto window = Open(false);
    window->Servers().Reset({"A,http://192.0.2.1/s@1"});  // nothing loads from a FIFO
    ModalDriver driver([&](CServerInfodlg& list) { CloseList(list); });
    ManageServers(*window, driver);

    ASSERT_EQ(driver.messages().size(), 1);
    const QString message = driver.messages()[0];
    EXPECT_TRUE(message.contains(QString::fromStdString(settingFile.string()))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("not a regular file"), Qt::CaseInsensitive))
        << message.toStdString();
    struct stat info {};
    ASSERT_EQ(::stat(settingFile.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(window->Servers().Entries(), Entries{"A,http://192.0.2.1/s@1"});
}

}  // namespace
