#pragma once

#include <deque>
#include <string>

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include "desktop/window_hooks.h"
#include "ports/alarm_observer.h"

class QDBusMessage;
class QDBusPendingCallWatcher;

// One desktop notification for the alarm, through the session's org.freedesktop.Notifications server. Every
// call is asynchronous and a failed one is dropped without a word: a desktop without a server, or with a slow
// one, costs the window nothing, and a server that turns up later is used from its first alarm on.
class DesktopNotifier final : public QObject, public AlarmObserver {
    Q_OBJECT
public:
    explicit DesktopNotifier(WindowHooks hooks, QDBusConnection bus = QDBusConnection::sessionBus(),
                             QObject* parent = nullptr);
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // The server's id of the open notification, 0 while none is open or the server has not answered yet.
    uint OpenNotification() const { return m_id; }

    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override;
    void AllClear() override;
    void AlarmPaneCleared() override;

    // The alarm still sounds long after it began: its notification again, critical, also if it was closed.
    void ShowAgainCritical();
    // The next notifications offer 已知晓: every host in fault is acknowledged.
    void OfferAcknowledge() { m_acknowledgeOffered = true; }
    // Every host is unreachable: says so once, in a notification of its own.
    void SayNetworkDown();

private slots:
    void OnActionInvoked(uint id, const QString& action, const QDBusMessage& message);
    void OnActivationToken(uint id, const QString& token, const QDBusMessage& message);
    void OnNotificationClosed(uint id, uint reason, const QDBusMessage& message);

private:
    void SendNotify();
    void NotifyAnswered(QDBusPendingCallWatcher* watcher);
    void Close();
    bool IsOurs(uint id, const QDBusMessage& message) const;

    WindowHooks m_hooks;
    QDBusConnection m_bus;
    std::deque<std::string> m_lines;  // newest first, GBK
    bool m_critical = false;
    bool m_acknowledgeOffered = false;
    uint m_id = 0;     // the open notification, 0 for none
    QString m_server;  // the unique bus name of the server that holds it
    bool m_notifyPending = false;
    bool m_notifyAgain = false;  // an alarm came while a Notify was on its way
    bool m_closeAfterReply = false;
    QString m_activationToken;
    QStringList m_since;  // since when each host is in fault, while the history is kept
};

// The notification's body: the lines joined newest first, then since when each host is in fault, escaped for
// servers that read markup.
QString NotificationBody(const std::deque<std::string>& lines, const QStringList& since = {});
