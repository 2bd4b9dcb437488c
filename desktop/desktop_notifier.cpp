#include "desktop/desktop_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "desktop/desktop_ids.h"
#include "desktop/outage_since.h"
#include "text/gbk.h"

namespace {

constexpr std::size_t kBodyLines = 5;
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
const QString kSilenceAction = QStringLiteral("silence");
const QString kAcknowledgeAction = QStringLiteral("acknowledge");

enum Urgency : uchar { kNormal = 1, kCritical = 2 };

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace

// Servers may read the body as markup; fault lines carry the time in angle brackets and host texts as sent.
QString NotificationBody(const std::deque<std::string>& lines, const QStringList& since) {
    QStringList parts;
    auto add = [&parts](QString text) {
        text.replace(QLatin1Char('&'), QLatin1String("&amp;"));
        text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
        text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
        parts << text;
    };
    for (const std::string& line : lines) add(gbk::ToQString(line));
    if (!since.isEmpty()) parts << QString();  // a blank line between the fault lines and the hosts
    for (const QString& line : since) add(line);
    return parts.join(QLatin1Char('\n'));
}

DesktopNotifier::DesktopNotifier(WindowHooks hooks, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_hooks(std::move(hooks)), m_bus(std::move(bus)) {
    // Heard from any sender, then matched against the server that answered our Notify: a server may start,
    // stop or be replaced at any time, and only the one holding our notification speaks for it.
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(OnActionInvoked(uint, QString, QDBusMessage)));
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("ActivationToken"), this,
                  SLOT(OnActivationToken(uint, QString, QDBusMessage)));
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(OnNotificationClosed(uint, uint, QDBusMessage)));
}

void DesktopNotifier::AlarmRaised(const AlarmEvent& event) {
    m_lines.push_front(WithoutLineEnd(event.line));
    if (m_lines.size() > kBodyLines) m_lines.pop_back();
    m_critical = event.sounding;
    m_closeAfterReply = false;
    m_since = SinceLines(m_hooks.outageStarts ? m_hooks.outageStarts() : std::nullopt, event.serverName,
                         event.time, std::chrono::system_clock::now());
    if (m_notifyPending) {
        m_notifyAgain = true;  // sent with the server's id once it is known, so it replaces rather than adds
        return;
    }
    SendNotify();
}

void DesktopNotifier::ShowAgainCritical() {
    m_critical = true;
    m_closeAfterReply = false;
    if (m_notifyPending) {
        m_notifyAgain = true;
        return;
    }
    SendNotify();
}

// Not the alarm's notification: the alarm's own steps close and replace that one, this stays on its own.
void DesktopNotifier::SayNetworkDown() {
    if (!m_bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(kNormal)));
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(desktop_ids::kDesktopEntry));
    call << QString::fromLatin1(desktop_ids::kAppName) << uint(0)
         << QString::fromLatin1(desktop_ids::kIconName) << QString::fromUtf8(desktop_ids::kNetworkDownSummary)
         << QString() << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, &QObject::deleteLater);
}

void DesktopNotifier::AlarmSilenced() {
    Close();
}

void DesktopNotifier::AllClear() {
    Close();
}

void DesktopNotifier::AlarmPaneCleared() {
    m_lines.clear();
}

void DesktopNotifier::SendNotify() {
    if (!m_bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QStringList actions{kDefaultAction, QString::fromUtf8("显示窗口"), kSilenceAction,
                        QString::fromUtf8("关闭声音")};
    if (m_acknowledgeOffered) actions << kAcknowledgeAction << QString::fromUtf8("已知晓");
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue(static_cast<uchar>(m_critical ? kCritical : kNormal)));
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(desktop_ids::kDesktopEntry));
    const int expire = m_critical ? 0 : -1;  // a critical one stays until it is dealt with
    call << QString::fromLatin1(desktop_ids::kAppName) << m_id << QString::fromLatin1(desktop_ids::kIconName)
         << QString::fromUtf8(desktop_ids::kAlarmSummary) << NotificationBody(m_lines, m_since) << actions
         << hints << expire;
    m_notifyPending = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &DesktopNotifier::NotifyAnswered);
}

// Errors (no server, a server that failed) leave no notification open and say nothing.
void DesktopNotifier::NotifyAnswered(QDBusPendingCallWatcher* watcher) {
    watcher->deleteLater();
    m_notifyPending = false;
    const QDBusPendingReply<uint> reply = *watcher;
    m_id = reply.isError() ? 0 : reply.value();
    m_server = reply.isError() ? QString() : reply.reply().service();
    if (m_closeAfterReply) {
        m_closeAfterReply = false;
        m_notifyAgain = false;
        Close();
    } else if (m_notifyAgain) {
        m_notifyAgain = false;
        SendNotify();
    }
}

void DesktopNotifier::Close() {
    m_notifyAgain = false;
    if (m_notifyPending) {
        m_closeAfterReply = true;
        return;
    }
    if (m_id == 0) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << m_id;
    m_id = 0;
    // Nothing is done with the answer, an error included; the watcher only disposes of it.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, &QObject::deleteLater);
}

bool DesktopNotifier::IsOurs(uint id, const QDBusMessage& message) const {
    return id != 0 && id == m_id && message.service() == m_server;
}

void DesktopNotifier::OnActivationToken(uint id, const QString& token, const QDBusMessage& message) {
    if (IsOurs(id, message)) m_activationToken = token;
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action, const QDBusMessage& message) {
    if (!IsOurs(id, message)) return;
    const QString token = std::exchange(m_activationToken, QString());
    if (action == kDefaultAction && m_hooks.showAndRaise) m_hooks.showAndRaise(token);
    if (action == kSilenceAction && m_hooks.silence) m_hooks.silence();
    if (action == kAcknowledgeAction && m_hooks.acknowledge) m_hooks.acknowledge({});
}

// Closed by the user, by expiry or on our request: not reopened before the next alarm.
void DesktopNotifier::OnNotificationClosed(uint id, uint /*reason*/, const QDBusMessage& message) {
    if (IsOurs(id, message)) {
        m_id = 0;
        m_activationToken.clear();
    }
}
