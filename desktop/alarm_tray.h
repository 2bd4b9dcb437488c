#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <string>

#include "desktop/window_hooks.h"
#include "ports/alarm_observer.h"

// The tray icon: quiet or red with the alarm, a tool tip with the host counts or the newest fault line, a
// left click that brings the window back and a menu to show it, silence it or end the program. Only created
// where the desktop has a tray.
class AlarmTray final : public QObject, public AlarmObserver {
    Q_OBJECT
public:
    explicit AlarmTray(WindowHooks hooks, QObject* parent = nullptr);
    AlarmTray(const AlarmTray&) = delete;
    AlarmTray& operator=(const AlarmTray&) = delete;

    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override;
    void AllClear() override;
    void AlarmPaneCleared() override {}

    void Hide() { m_icon.hide(); }
    QString ToolTip() const { return m_icon.toolTip(); }

    // Every host unreachable (or not any more): the tool tip says so first.
    void SetNetworkDown(bool down);

    // Adds 历史记录 to the menu, once.
    void OfferHistory();
    // Adds 已知晓 to the menu, once: a submenu of the hosts in fault, each acknowledged when chosen.
    void OfferAcknowledge();

private:
    void ShowQuiet();
    void RefreshToolTip();
    void SetToolTip(const QString& text);
    QString AcknowledgedText() const;
    QString SinceText(const std::string& alarmedServer = {},
                      std::chrono::system_clock::time_point alarmed = {}) const;

    WindowHooks m_hooks;
    QIcon m_quietIcon;
    QIcon m_alarmIcon;
    bool m_alarm = false;
    QString m_networkNote;
    QString m_alarmText;  // the summary and the newest fault line
    QMenu m_menu;
    QAction* m_silenceAction = nullptr;
    QAction* m_historyAction = nullptr;
    QMenu* m_acknowledgeMenu = nullptr;  // child of m_menu
    QSystemTrayIcon m_icon;              // after the menu: it must go first
    QTimer m_countsTimer;
};
