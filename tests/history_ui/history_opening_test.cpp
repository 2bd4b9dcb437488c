// The history offered by the monitor window and the tray: Ctrl+H, the panes' context menus and the tray's
// menu open one history window, which follows the rounds; without it the window is as it always was.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>

#include "app/history_wiring.h"
#include "desktop/alarm_tray.h"
#include "desktop/desktop_presence.h"
#include "history/ui/history_window.h"
#include "tests/history_ui/fake_history.h"
#include "tests/history_ui/window_reads.h"
#include "tests/support/monitor_fixture.h"

namespace {

std::vector<HistoryWindow*> OpenHistoryWindows() {
    std::vector<HistoryWindow*> open;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* history = qobject_cast<HistoryWindow*>(widget); history != nullptr && history->isVisible())
            open.push_back(history);
    return open;
}

// Opens the pane's context menu as a right click would, and returns its entries; picks `pick` if it is there.
QStringList PaneMenu(QPlainTextEdit* pane, const QString& pick = {}) {
    // The menu key: a right click's event takes the same way from the pane on.
    const QPoint at = pane->viewport()->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Keyboard, at, pane->viewport()->mapToGlobal(at));
    return ContextMenuEntries(pane, event, pick);
}

QAction* TrayEntry(const QString& text) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* menu = qobject_cast<QMenu*>(widget))
            for (QAction* action : menu->actions())
                if (action->text() == text) return action;
    return nullptr;
}

class HistoryOpening : public MonitorFixture {};

TEST_F(HistoryOpening, CtrlHThePanesMenusAndTheTrayOpenOneHistoryWindow) {
    CTessivDlg& monitor = Open({"A,http://127.0.0.1:9/a@1"});
    const QString history = QString::fromUtf8("历史记录");
    auto panes = monitor.findChildren<QPlainTextEdit*>();
    ASSERT_EQ(panes.size(), 2);
    monitor.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&monitor));

    // Not offered: Ctrl+H does nothing and the menus are the panes' own.
    QTest::keyClick(&monitor, Qt::Key_H, Qt::ControlModifier);
    EXPECT_TRUE(OpenHistoryWindows().empty());
    const QStringList plain = PaneMenu(panes[0]);
    EXPECT_FALSE(plain.isEmpty());
    EXPECT_FALSE(plain.contains(history));

    auto data = std::make_shared<FakeHistory>();
    int opened = 0;
    DesktopPresence desktop;
    const std::function<void()> show = AttachHistory(monitor, desktop, [&] {
        ++opened;
        return data->Reader(data);
    });

    // The pane's menu took the focus for a while: the shortcut needs the window active again.
    monitor.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&monitor));
    QTest::keyClick(&monitor, Qt::Key_H, Qt::ControlModifier);
    ASSERT_EQ(OpenHistoryWindows().size(), 1u);
    EXPECT_EQ(OpenHistoryWindows()[0]->windowTitle(), history);
    EXPECT_EQ(opened, 1);
    // It follows the rounds.
    ASSERT_TRUE(HistorySettled(*OpenHistoryWindows()[0]));
    const std::size_t asked = data->summaryAsks.size();
    emit monitor.RoundFinished();
    ASSERT_TRUE(HistorySettled(*OpenHistoryWindows()[0]));
    EXPECT_EQ(data->summaryAsks.size(), asked + 1);
    OpenHistoryWindows()[0]->close();
    QApplication::processEvents();  // its deferred delete
    EXPECT_TRUE(OpenHistoryWindows().empty());

    // Each pane's menu offers it; a second request brings the open one forward.
    for (QPlainTextEdit* pane : panes) {
        const QStringList entries = PaneMenu(pane, history);
        EXPECT_TRUE(entries.contains(history)) << entries.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(OpenHistoryWindows().size(), 1u);
    }
    EXPECT_EQ(opened, 2);

    // The tray's menu, where there is a tray, offers the same.
    OpenHistoryWindows()[0]->close();
    QApplication::processEvents();
    WindowHooks hooks;
    hooks.openHistory = show;
    AlarmTray tray(hooks);
    EXPECT_EQ(TrayEntry(history), nullptr);
    tray.OfferHistory();
    QAction* entry = TrayEntry(history);
    ASSERT_NE(entry, nullptr);
    entry->trigger();
    EXPECT_EQ(OpenHistoryWindows().size(), 1u);
    EXPECT_EQ(opened, 3);

    // The run pane saw nothing of it.
    EXPECT_FALSE(RunPane().contains(history));
    window.reset();
}

}  // namespace
