#pragma once

#include <memory>

#include <QObject>

#include "desktop/window_hooks.h"
#include "monitor/alarm_observer.h"

class AlarmTray;
class CTessivDlg;
class DesktopNotifier;

// What the desktop offers beside the window: the alarm notification, and the tray icon where there is a tray.
// Create it before the window (it names the program to the desktop, and the window's observers must outlive
// it), then attach it; once the window is done, nothing of the desktop reaches it any more.
class DesktopPresence final : public QObject, public AlarmObserver {
    Q_OBJECT
public:
    DesktopPresence();
    ~DesktopPresence() override;
    DesktopPresence(const DesktopPresence&) = delete;
    DesktopPresence& operator=(const DesktopPresence&) = delete;

    void Attach(CTessivDlg& window);
    bool HasTray() const { return m_tray != nullptr; }
    uint OpenNotification() const;

    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override;
    void AllClear() override;
    void AlarmPaneCleared() override;

private:
    void Detach();

    WindowHooks m_window;  // empty once the window is done
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<AlarmTray> m_tray;
};
