#include "tests/support/monitor_fixture.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "servers/ui/server_list_dialog.h"

using namespace std::chrono_literals;

ModalDriver::ModalDriver(std::function<void(CServerInfodlg&)> onList) : m_onList(std::move(onList)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
            m_messages.push_back(box->text());
            box->done(QMessageBox::Ok);
        } else if (auto* list = qobject_cast<CServerInfodlg*>(modal); list != nullptr && !m_listSeen) {
            m_listSeen = true;
            // Run outside this handler: the timer does not fire again while it runs, and the action may bring
            // up a message box.
            QTimer::singleShot(0, list, [this, list] { m_onList(*list); });
        }
    });
    m_timer.start(5);
}

MonitorSettings MonitorFixture::Settings(bool rounds) const {
    MonitorSettings settings;
    settings.dataDir = dir.path();
    settings.pacing = rounds ? Pacing{0ms, 0ms, 0ms, 20ms} : Pacing{1h, 1h, 1h, 1h};
    return settings;
}

CTessivDlg& MonitorFixture::Open(const std::vector<std::string>& entries, bool rounds) {
    if (!entries.empty()) WriteFileBytes(settingFile, CrLfLines(entries));
    return OpenWith(Settings(rounds));
}

CTessivDlg& MonitorFixture::OpenWith(MonitorSettings settings) {
    window = std::make_unique<CTessivDlg>(std::move(settings));
    window->show();
    return *window;
}

QPushButton& MonitorFixture::Button(const char* caption) {
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->text() == QString::fromUtf8(caption)) return *button;
    throw std::runtime_error(std::string("no button ") + caption);
}

void MonitorFixture::Click(const char* caption) {
    QTest::mouseClick(&Button(caption), Qt::LeftButton);
}

void MonitorFixture::ManageServers(const ModalDriver& driver) {
    Click("管理服务器");
    ASSERT_TRUE(driver.listSeen());
    QTest::qWait(50);  // a late message box would be up by now
}

void MonitorFixture::CloseList(CServerInfodlg& list) {
    QTest::keyClick(list.findChild<QTableWidget*>(QStringLiteral("m_listServers")), Qt::Key_Escape);
}

QString MonitorFixture::RunPane() {
    return window->findChildren<QPlainTextEdit*>()[0]->toPlainText();
}

std::string CrLfLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

QStringList ContextMenuEntries(QWidget* receiver, QContextMenuEvent& event, const QString& pick) {
    QStringList entries;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;
        poll.stop();
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            entries << action->text();
            if (action->text() == pick) chosen = action;
        }
        menu->close();
        if (chosen != nullptr) chosen->trigger();
    });
    poll.start(5);
    QApplication::sendEvent(receiver, &event);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !poll.isActive(); }, 5000));
    return entries;
}
