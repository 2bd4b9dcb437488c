#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QObject>

#include "desktop/window_hooks.h"
#include "ports/alarm_observer.h"

class AlarmTray;
class DesktopNotifier;

// What the desktop offers beside the window: the alarm notification, and the tray icon where there is a tray.
// Create it before the window (it names the program to the desktop, and the window's observers must outlive
// it), attach the window's hooks, and detach them when the window is done: from then on nothing of the
// desktop reaches it.
class DesktopPresence final : public QObject, public AlarmObserver {
    Q_OBJECT
public:
    DesktopPresence();
    ~DesktopPresence() override;
    DesktopPresence(const DesktopPresence&) = delete;
    DesktopPresence& operator=(const DesktopPresence&) = delete;

    void Attach(WindowHooks window);
    // The history is kept: the tray offers 历史记录 (`open`), and the tray and the notification say since
    // when each host is in fault (`starts`). Either may come later than Attach.
    void OfferHistory(std::function<void()> open, std::function<std::optional<OutageStarts>()> starts);
    // Acknowledging a host's fault: the notification offers 已知晓 for every host in fault, the tray's menu
    // one entry per host.
    void OfferAcknowledge(std::function<std::vector<std::pair<std::string, bool>>()> hostsInFault,
                          std::function<void(const std::string& name)> acknowledge);
    // The window has ended: no tray entry or notification action reaches it any more.
    void Detach();
    bool HasTray() const { return m_tray != nullptr; }
    uint OpenNotification() const;

    // The alarm rules: an alarm nobody dealt with, shown again as critical; every host unreachable, or one
    // answering again.
    void Escalate();
    void SetNetworkDown(bool down);
    // The tray's tool tip, empty without a tray.
    QString TrayToolTip() const;

    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override;
    void AllClear() override;
    void AlarmPaneCleared() override;

private:
    WindowHooks m_window;  // empty once the window is done
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<AlarmTray> m_tray;
};
