#include "desktop/alarm_tray.h"

#include "desktop/alarm_icon.h"
#include "desktop/desktop_ids.h"
#include "desktop/outage_since.h"
#include "text/gbk.h"

namespace {

// The host list may change in the server dialog at any time, and outages start and end with the rounds;
// nothing tells the tray, so it looks again.
constexpr int kCountsRefreshMs = 3000;

}  // namespace

AlarmTray::AlarmTray(WindowHooks hooks, QObject* parent)
    : QObject(parent),
      m_hooks(std::move(hooks)),
      m_quietIcon(QStringLiteral(":/tessiv/tessiv.png")),
      m_alarmIcon(RedTinted(m_quietIcon)) {
    m_menu.addAction(QString::fromUtf8("显示窗口"), this, [this] {
        if (m_hooks.showAndRaise) m_hooks.showAndRaise(QString());
    });
    m_silenceAction = m_menu.addAction(QString::fromUtf8("关闭声音"), this, [this] {
        if (m_hooks.silence) m_hooks.silence();
    });
    m_menu.addAction(QString::fromUtf8("退出"), this, [this] {
        if (m_hooks.exit) m_hooks.exit();
    });
    m_icon.setContextMenu(&m_menu);
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && m_hooks.showAndRaise) m_hooks.showAndRaise(QString());
    });
    connect(&m_countsTimer, &QTimer::timeout, this, &AlarmTray::RefreshToolTip);
    ShowQuiet();
    m_icon.show();
}

void AlarmTray::OfferHistory() {
    if (m_historyAction != nullptr) return;
    m_historyAction = new QAction(QString::fromUtf8("历史记录"), &m_menu);
    connect(m_historyAction, &QAction::triggered, this, [this] {
        if (m_hooks.openHistory) m_hooks.openHistory();
    });
    m_menu.insertAction(m_silenceAction, m_historyAction);
}

void AlarmTray::OfferAcknowledge() {
    if (m_acknowledgeMenu != nullptr) return;
    m_acknowledgeMenu = new QMenu(QString::fromUtf8("已知晓"), &m_menu);
    m_menu.insertMenu(m_silenceAction, m_acknowledgeMenu);
    // The hosts in fault change with every round: the submenu is made as it opens.
    connect(m_acknowledgeMenu, &QMenu::aboutToShow, this, [this] {
        m_acknowledgeMenu->clear();
        const auto hosts = m_hooks.hostsInFault ? m_hooks.hostsInFault() : decltype(m_hooks.hostsInFault()){};
        for (const auto& [name, acknowledged] : hosts) {
            QAction* action = m_acknowledgeMenu->addAction(gbk::ToQString(name));
            action->setCheckable(true);
            action->setChecked(acknowledged);
            action->setEnabled(!acknowledged);
            connect(action, &QAction::triggered, this, [this, name = name] {
                if (m_hooks.acknowledge) m_hooks.acknowledge(name);
            });
        }
        if (hosts.empty())
            m_acknowledgeMenu->addAction(QString::fromUtf8("（没有异常的服务器）"))->setEnabled(false);
    });
}

void AlarmTray::AlarmRaised(const AlarmEvent& event) {
    if (!event.sounding && !m_alarm) return;  // the icon follows the alarm title
    if (!m_alarm) {
        m_alarm = true;
        m_icon.setIcon(m_alarmIcon);
    }
    m_alarmText = QString::fromUtf8(desktop_ids::kAlarmSummary) + QLatin1Char('\n') +
                  gbk::ToQString(event.line).trimmed();
    SetToolTip(m_alarmText + SinceText(event.serverName, event.time));
}

void AlarmTray::AlarmSilenced() {
    ShowQuiet();
}

void AlarmTray::AllClear() {
    ShowQuiet();
}

void AlarmTray::ShowQuiet() {
    m_alarm = false;
    m_icon.setIcon(m_quietIcon);
    RefreshToolTip();
    m_countsTimer.start(kCountsRefreshMs);
}

void AlarmTray::RefreshToolTip() {
    if (m_alarm) {
        SetToolTip(m_alarmText + SinceText());
        return;
    }
    const HostCounts counts = m_hooks.hostCounts ? m_hooks.hostCounts() : HostCounts{};
    SetToolTip(QString::fromUtf8("%1\n轮询 %2 台，暂停 %3 台")
                   .arg(QString::fromLatin1(desktop_ids::kAppName))
                   .arg(counts.polled)
                   .arg(counts.paused) +
               SinceText());
}

// Empty while the history is not kept, so the tool tip reads as it always did.
QString AlarmTray::SinceText(const std::string& alarmedServer,
                             std::chrono::system_clock::time_point alarmed) const {
    const QStringList lines = SinceLines(m_hooks.outageStarts ? m_hooks.outageStarts() : std::nullopt,
                                         alarmedServer, alarmed, std::chrono::system_clock::now());
    return lines.isEmpty() ? QString() : QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
}

void AlarmTray::SetNetworkDown(bool down) {
    m_networkNote = down ? QString::fromUtf8(desktop_ids::kNetworkDownSummary) : QString();
    RefreshToolTip();
}

// "已知晓：A、B" for the hosts whose fault an operator acknowledged; empty when none is.
QString AlarmTray::AcknowledgedText() const {
    QStringList names;
    if (m_hooks.hostsInFault)
        for (const auto& [name, acknowledged] : m_hooks.hostsInFault())
            if (acknowledged) names << gbk::ToQString(name);
    return names.isEmpty()
               ? QString()
               : QLatin1Char('\n') + QString::fromUtf8("已知晓：") + names.join(QString::fromUtf8("、"));
}

// Each change is a signal on the bus, so an unchanged text is not sent again.
void AlarmTray::SetToolTip(const QString& body) {
    const QString marked = body + AcknowledgedText();
    const QString text = m_networkNote.isEmpty() ? marked : m_networkNote + QLatin1Char('\n') + marked;
    if (m_icon.toolTip() != text) m_icon.setToolTip(text);
}
