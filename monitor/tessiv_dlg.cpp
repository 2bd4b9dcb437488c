#include "monitor/tessiv_dlg.h"

#include <utility>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>

#include "monitor/alarm_sound.h"
#include "monitor/pane_view.h"
#include "servers/ui/dialog_units.h"
#include "servers/ui/server_list_dialog.h"

namespace {

QPushButton* MakeButton(QWidget* parent, const char* caption, QRect geometry) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setGeometry(geometry);
    // Only Start reacts to Enter, as the dialog's default button; no other button may become default.
    button->setAutoDefault(false);
    return button;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* caption, QRect geometry) {
    auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
    box->setGeometry(geometry);
    return box;
}

QPlainTextEdit* MakePane(QWidget* parent, QRect geometry) {
    auto* pane = new QPlainTextEdit(parent);
    pane->setGeometry(geometry);
    pane->setReadOnly(true);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return pane;
}

}  // namespace

CTessivDlg::CTessivDlg(MonitorSettings settings, QWidget* parent)
    : QDialog(parent), m_core(std::move(settings), *this) {
    m_sound = new AlarmSound(this);
    connect(&m_core, &MonitorCore::RoundFinished, this, &CTessivDlg::RoundFinished);
    BuildControls();
    OnInitDialog();
}

CTessivDlg::~CTessivDlg() {
    m_core.Stop();
}

void CTessivDlg::BuildControls() {
    setWindowTitle(QString::fromUtf8(kWindowCaption));
    // An ordinary top-level window, not a dialog: task bars and window switchers list it, so a minimised
    // monitor is never lost.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont font = this->font();
    font.setPointSize(9);
    setFont(font);
    setFixedSize(dialog_units::Size(449, 243));

    // Created in tab order.
    m_buttonStart = MakeButton(this, "启动", dialog_units::Rect(376, 7, 67, 21));
    m_buttonExit = MakeButton(this, "退出", dialog_units::Rect(376, 215, 67, 21));
    m_buttonSilence = MakeButton(this, "关闭声音", dialog_units::Rect(376, 29, 67, 21));
    m_editRunLog = MakePane(this, dialog_units::Rect(7, 7, 359, 94));
    m_buttonManage = MakeButton(this, "管理服务器", dialog_units::Rect(376, 75, 67, 21));
    m_checkPlaySound = MakeCheckBox(this, "报警时播放声音", dialog_units::Rect(369, 134, 67, 13));
    m_checkMuteConnection = MakeCheckBox(this, "连接异常不报警", dialog_units::Rect(369, 148, 60, 13));
    m_editAlarmLog = MakePane(this, dialog_units::Rect(7, 102, 359, 137));
    m_checkMuteServerFault = MakeCheckBox(this, "Quarlex异常不报警", dialog_units::Rect(369, 162, 73, 13));
    m_checkMuteDiskSpace = MakeCheckBox(this, "空间不足不报警", dialog_units::Rect(369, 176, 73, 13));
    m_checkMuteDbLog = MakeCheckBox(this, "日志需要清理不报警", dialog_units::Rect(369, 190, 73, 13));
    m_checkTopOnAlarm = MakeCheckBox(this, "报警时窗口置顶", dialog_units::Rect(369, 121, 67, 13));
    m_buttonClear = MakeButton(this, "清空异常记录", dialog_units::Rect(376, 52, 67, 21));
    m_editRunLog->setAccessibleName(QString::fromUtf8("运行信息"));
    m_editRunLog->setAccessibleDescription(QString::fromUtf8("每台服务器每轮一行，最新的在最上面"));
    m_editAlarmLog->setAccessibleName(QString::fromUtf8("异常记录"));
    m_editAlarmLog->setAccessibleDescription(QString::fromUtf8("服务器异常，最新的在最上面"));
    m_runView = std::make_unique<PaneView>(m_editRunLog);
    m_alarmView = std::make_unique<PaneView>(m_editAlarmLog);

    QWidget* tabOrder[] = {m_buttonStart,         m_buttonExit,     m_buttonSilence,
                           m_editRunLog,          m_buttonManage,   m_checkPlaySound,
                           m_checkMuteConnection, m_editAlarmLog,   m_checkMuteServerFault,
                           m_checkMuteDiskSpace,  m_checkMuteDbLog, m_checkTopOnAlarm,
                           m_buttonClear};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    m_buttonStart->setDefault(true);
    connect(m_buttonStart, &QPushButton::clicked, this, &CTessivDlg::StartMonitoring);
    connect(m_buttonExit, &QPushButton::clicked, this, &CTessivDlg::OnExit);
    connect(m_buttonSilence, &QPushButton::clicked, this, &CTessivDlg::OnSilence);
    connect(m_buttonManage, &QPushButton::clicked, this, &CTessivDlg::OnManageServers);
    connect(m_buttonClear, &QPushButton::clicked, this, &CTessivDlg::OnClearAlarmPane);
    for (QCheckBox* box : {m_checkPlaySound, m_checkMuteConnection, m_checkMuteServerFault,
                           m_checkMuteDiskSpace, m_checkMuteDbLog, m_checkTopOnAlarm})
        connect(box, &QCheckBox::clicked, this, &CTessivDlg::OnOptionChanged);
}

void CTessivDlg::OnInitDialog() {
    UpdateData(false);
    const QIcon icon(QStringLiteral(":/tessiv/tessiv.png"));
    setWindowIcon(icon);
    m_core.Start();
    m_buttonStart->setFocus();
}

// The run pane is read-only, so only the options travel back from the controls: reading the pane's text would
// turn a character cut by the pane cap into a replacement character.
void CTessivDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        MonitorOptions options;
        options.playSound = m_checkPlaySound->isChecked();
        options.mutes.connection = m_checkMuteConnection->isChecked();
        options.topOnAlarm = m_checkTopOnAlarm->isChecked();
        options.mutes.serverFault = m_checkMuteServerFault->isChecked();
        options.mutes.diskSpace = m_checkMuteDiskSpace->isChecked();
        options.mutes.dbLog = m_checkMuteDbLog->isChecked();
        m_core.SetOptions(options);
        return;
    }
    m_runView->Show(m_core.RunLog());
    const MonitorOptions options = m_core.Options();
    m_checkPlaySound->setChecked(options.playSound);
    m_checkMuteConnection->setChecked(options.mutes.connection);
    m_checkTopOnAlarm->setChecked(options.topOnAlarm);
    m_checkMuteServerFault->setChecked(options.mutes.serverFault);
    m_checkMuteDiskSpace->setChecked(options.mutes.diskSpace);
    m_checkMuteDbLog->setChecked(options.mutes.dbLog);
}

void CTessivDlg::MonitoringStarted() {
    // Disabling the focused Start button would hand the focus on to 退出, where a stray Space ends the
    // monitor.
    QWidget* focused = focusWidget();
    if (focused == nullptr || focused == m_buttonStart) m_editRunLog->setFocus();
    m_buttonStart->setEnabled(false);
}

void CTessivDlg::RunLineAdded(const std::string& line) {
    m_runView->Prepended(line.size() + 2);
}

void CTessivDlg::AlarmLineAdded(const std::string& line) {
    m_alarmView->Prepended(line.size() + 2);
    m_alarmView->Show(m_core.AlarmLog());
    // A screen reader announces the alarm; the pane's inserted line carries its text.
    QAccessibleEvent alert(m_editAlarmLog, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void CTessivDlg::AlarmPaneEmptied() {
    m_alarmView->Show(m_core.AlarmLog());
}

void CTessivDlg::AlarmShown(bool forward, bool sound) {
    if (forward) BringForwardForAlarm();
    if (sound) {
        m_sound->Play();
        setWindowTitle(QString::fromUtf8(kAlarmTitle));
    }
}

void CTessivDlg::SoundStopped() {
    m_sound->Stop();
    setWindowTitle(QString::fromUtf8(kQuietTitle));
}

void CTessivDlg::ShowAndRaise() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    if (m_serverList) {
        m_serverList->raise();
        m_serverList->activateWindow();
    }
}

void CTessivDlg::SetHistoryOpener(std::function<void()> open) {
    const bool first = !m_openHistory;
    m_openHistory = std::move(open);
    if (!first || !m_openHistory) return;
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(shortcut, &QShortcut::activated, this, [this] {
        if (m_openHistory) m_openHistory();
    });
    for (QPlainTextEdit* pane : {m_editRunLog, m_editAlarmLog}) {
        pane->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(pane, &QWidget::customContextMenuRequested, this,
                [this, pane](const QPoint& position) { ShowPaneMenu(pane, position); });
    }
}

// The pane's own menu (copy, select all) with the history below it; shown as the pane shows its own, without
// a nested event loop.
void CTessivDlg::ShowPaneMenu(QPlainTextEdit* pane, const QPoint& position) {
    QMenu* menu = pane->createStandardContextMenu(position);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    QAction* history = menu->addAction(QString::fromUtf8("历史记录"));
    history->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(history, &QAction::triggered, this, [this] {
        if (m_openHistory) m_openHistory();
    });
    menu->popup(pane->viewport()->mapToGlobal(position));
}

// An alarm shows a hidden window and brings a shown one to the front, but leaves a minimised one minimised:
// it asks the window manager for the operator's attention instead (urgency hint, task-bar highlight).
void CTessivDlg::BringForwardForAlarm() {
    if (isVisible() && isMinimized()) {
        QApplication::alert(this);
        return;
    }
    show();
    raise();
    activateWindow();
}

bool CTessivDlg::IsSounding() const {
    return m_sound->IsSounding();
}

// Also from the tray while the server list is open: the list closes as its close button would, saving the
// entries, before the monitor ends.
void CTessivDlg::OnExit() {
    if (m_serverList) m_serverList->reject();
    reject();
}

void CTessivDlg::OnOptionChanged() {
    UpdateData(true);
}

void CTessivDlg::OnPollRefresh() {
    UpdateData(false);
}

void CTessivDlg::OnManageServers() {
    if (m_core.IsClosing()) return;
    CServerInfodlg dialog(m_core.Servers(), m_core.Setting(), this);
    dialog.OfferMaintenance(m_core.MaintenanceList(), m_core.Settings().clock, [this](std::string line) {
        m_core.AppendRunLog(std::move(line));
        UpdateData(false);
    });
    if (m_acknowledge.state) dialog.OfferAcknowledge(m_acknowledge);
    m_core.SetListOpen(true);
    m_serverList = &dialog;
    dialog.exec();
    m_serverList = nullptr;
    m_core.SetListOpen(false);
    if (dialog.TookFileVersion()) m_core.ReportOutsideEdit();
}

void CTessivDlg::reject() {
    m_core.Stop();
    QDialog::reject();
}

void CTessivDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter starts monitoring and never closes the window.
        if (m_buttonStart->isEnabled()) m_buttonStart->click();
        return;
    }
    QDialog::keyPressEvent(event);
}
