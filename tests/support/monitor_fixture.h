#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QStringList>
#include <QTimer>

#include "monitor/tessiv_dlg.h"
#include "tests/support/modal_watchdog.h"
#include "tests/support/temp_dir.h"

class CServerInfodlg;
class QContextMenuEvent;
class QWidget;
class QPushButton;

// Acts on the server list dialog once it is up, and records and closes every message box.
class ModalDriver {
public:
    explicit ModalDriver(std::function<void(CServerInfodlg&)> onList);
    bool listSeen() const { return m_listSeen; }
    const QStringList& messages() const { return m_messages; }

private:
    std::function<void(CServerInfodlg&)> m_onList;
    QTimer m_timer;
    bool m_listSeen = false;
    QStringList m_messages;
};

// The real monitor window in a folder of its own, for tests that drive it as the operator does.
class MonitorFixture : public testing::Test {
protected:
    // With `rounds`, monitoring starts at once and rounds follow each other within milliseconds; without, no
    // round runs unless the test asks for one.
    MonitorSettings Settings(bool rounds = false) const;
    // Writes `entries` to Setting.ini (CR LF), then opens and shows the window.
    CTessivDlg& Open(const std::vector<std::string>& entries = {}, bool rounds = false);
    CTessivDlg& OpenWith(MonitorSettings settings);

    QPushButton& Button(const char* caption);
    void Click(const char* caption);
    // Clicks 管理服务器; `driver` handles the list and any message. Returns once the list has closed.
    void ManageServers(const ModalDriver& driver);
    static void CloseList(CServerInfodlg& list);
    QString RunPane();
    std::string Log() const { return ReadFileBytes(dir / "log.txt"); }

    ModalWatchdog watchdog;
    TempDir dir;
    std::filesystem::path settingFile = dir / "Setting.ini";
    std::unique_ptr<CTessivDlg> window;
};

std::string CrLfLines(const std::vector<std::string>& lines);

// Sends `event` to `receiver` and returns the entries of the context menu that comes up, picking `pick` if it
// is there; empty when no menu came up within 5 s.
QStringList ContextMenuEntries(QWidget* receiver, QContextMenuEvent& event, const QString& pick = {});
