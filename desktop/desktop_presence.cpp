#include "desktop/desktop_presence.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>

#include "desktop/alarm_tray.h"
#include "desktop/desktop_ids.h"
#include "desktop/desktop_notifier.h"
#include "desktop/window_hooks.h"

DesktopPresence::DesktopPresence() {
    // The compositor and the notification server find the desktop entry (and its icon) by this name; Wayland
    // takes it as the window's app id, so it is set before any window exists.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(desktop_ids::kDesktopEntry));
}

DesktopPresence::~DesktopPresence() = default;

void DesktopPresence::Attach(WindowHooks window) {
    m_window = std::move(window);
    // The parts get hooks that go through this object, so that detaching cuts them all at once.
    WindowHooks hooks;
    hooks.showAndRaise = [this](const QString& token) {
        if (m_window.showAndRaise) m_window.showAndRaise(token);
    };
    hooks.silence = [this] {
        if (m_window.silence) m_window.silence();
    };
    hooks.exit = [this] {
        if (m_window.exit) m_window.exit();
    };
    hooks.hostCounts = [this] { return m_window.hostCounts ? m_window.hostCounts() : HostCounts{}; };
    hooks.openHistory = [this] {
        if (m_window.openHistory) m_window.openHistory();
    };
    hooks.outageStarts = [this] {
        return m_window.outageStarts ? m_window.outageStarts() : std::optional<OutageStarts>();
    };
    hooks.hostsInFault = [this] {
        return m_window.hostsInFault ? m_window.hostsInFault() : std::vector<std::pair<std::string, bool>>();
    };
    hooks.acknowledge = [this](const std::string& name) {
        if (m_window.acknowledge) m_window.acknowledge(name);
    };
    m_notifier = std::make_unique<DesktopNotifier>(hooks);
    // Qt asks the session bus for a StatusNotifierWatcher once; a tray that starts later is not seen.
    if (QSystemTrayIcon::isSystemTrayAvailable()) m_tray = std::make_unique<AlarmTray>(hooks);
    if (m_tray && m_window.openHistory) m_tray->OfferHistory();
}

void DesktopPresence::OfferHistory(std::function<void()> open,
                                   std::function<std::optional<OutageStarts>()> starts) {
    m_window.openHistory = std::move(open);
    m_window.outageStarts = std::move(starts);
    if (m_tray && m_window.openHistory) m_tray->OfferHistory();
}

void DesktopPresence::OfferAcknowledge(
    std::function<std::vector<std::pair<std::string, bool>>()> hostsInFault,
    std::function<void(const std::string& name)> acknowledge) {
    m_window.hostsInFault = std::move(hostsInFault);
    m_window.acknowledge = std::move(acknowledge);
    if (m_notifier) m_notifier->OfferAcknowledge();
    if (m_tray) m_tray->OfferAcknowledge();
}

uint DesktopPresence::OpenNotification() const {
    return m_notifier ? m_notifier->OpenNotification() : 0;
}

// The parts stay (this may run inside one of their own slots); the open notification is withdrawn and the
// icon leaves the tray.
void DesktopPresence::Detach() {
    m_window = {};
    if (m_notifier) m_notifier->AlarmSilenced();
    if (m_tray) m_tray->Hide();
}

void DesktopPresence::Escalate() {
    if (m_notifier) m_notifier->ShowAgainCritical();
}

void DesktopPresence::SetNetworkDown(bool down) {
    if (m_notifier && down) m_notifier->SayNetworkDown();
    if (m_tray) m_tray->SetNetworkDown(down);
}

QString DesktopPresence::TrayToolTip() const {
    return m_tray ? m_tray->ToolTip() : QString();
}

void DesktopPresence::AlarmRaised(const AlarmEvent& event) {
    if (m_notifier) m_notifier->AlarmRaised(event);
    if (m_tray) m_tray->AlarmRaised(event);
}

void DesktopPresence::AlarmSilenced() {
    if (m_notifier) m_notifier->AlarmSilenced();
    if (m_tray) m_tray->AlarmSilenced();
}

void DesktopPresence::AllClear() {
    if (m_notifier) m_notifier->AllClear();
    if (m_tray) m_tray->AllClear();
}

void DesktopPresence::AlarmPaneCleared() {
    if (m_notifier) m_notifier->AlarmPaneCleared();
    if (m_tray) m_tray->AlarmPaneCleared();
}
