#include "monitor/tessiv_dlg.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>

#include "crash/crash_dump.h"
#include "locations/module_dir.h"
#include "monitor/alarm_log.h"
#include "monitor/alarm_observer.h"
#include "monitor/alarm_sound.h"
#include "monitor/pane_text.h"
#include "monitor/pane_view.h"
#include "monitor/run_pane_relay.h"
#include "monitor/window_calls.h"
#include "polling/poll_round.h"
#include "rules/alarm_filter.h"
#include "servers/server_entry.h"
#include "servers/setting_file.h"
#include "servers/ui/dialog_units.h"
#include "servers/ui/server_list_dialog.h"
#include "text/gbk.h"

namespace {

enum TimerId { kTimerStart = 1, kTimerRound = 2 };

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

void SetChecked(QCheckBox* box, const std::atomic<int>& option) {
    box->setChecked(option.load() != 0);
}
void ReadChecked(const QCheckBox* box, std::atomic<int>& option) {
    option.store(box->isChecked() ? 1 : 0);
}

}  // namespace

CTessivDlg::CTessivDlg(MonitorSettings settings, QWidget* parent)
    : QDialog(parent),
      m_settings(std::move(settings)),
      m_dataDir(m_settings.dataDir.empty() ? GetModuleDir() : m_settings.dataDir),
      m_logDir(m_settings.logDir.empty() ? m_dataDir : m_settings.logDir),
      m_setting(m_dataDir / kSettingFileName),
      m_maintenance(m_dataDir / kMaintenanceFileName) {
    m_sound = new AlarmSound(this);
    m_windowCalls = new WindowCalls(this);
    m_timerStart.setSingleShot(true);
    m_timerRound.setSingleShot(true);
    connect(&m_timerStart, &QTimer::timeout, this, [this] { OnTimer(kTimerStart); });
    connect(&m_timerRound, &QTimer::timeout, this, [this] { OnTimer(kTimerRound); });
    BuildControls();
    OnInitDialog();
}

CTessivDlg::~CTessivDlg() {
    StopPollRound();
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
    if (m_settings.installCrashHandler) crashdump::Install();
    LoadServerEntries();
    // A maintenance that ended while the monitor was closed ends now.
    m_maintenance.Load();
    EndDueMaintenance();
    UpdateData(false);
    m_timerStart.start(m_settings.pacing.startDelay);
    m_buttonStart->setFocus();
}

void CTessivDlg::LoadServerEntries() {
    m_servers.Reset(m_setting.Load());
}

void CTessivDlg::TakeOutsideEdit() {
    std::optional<DiskVersion> disk = m_setting.ChangedOnDisk();
    if (!disk) return;
    m_servers.Replace(std::move(disk->entries));
    m_setting.Take(*disk);
    ReportOutsideEdit();
}

void CTessivDlg::EndDueMaintenance() {
    const std::time_t now = m_settings.clock();
    const std::vector<std::string> ended = m_maintenance.EndedBy(now);
    if (ended.empty()) return;
    std::vector<std::string> names;
    {
        ServerLists::Locked locked = m_servers.Lock();
        for (std::string& entryText : locked.m_arrServers) {
            if (std::ranges::find(ended, MaintenanceKey(entryText)) == ended.end()) continue;
            entryText = entry::WithFlag(entryText, entry::kEnabledFlag);
            names.push_back(entry::ForDisplay(entryText).name);
        }
    }
    const std::string time = "<" + FormatLocalTime(now, kPaneTimeFormat) + "> ";
    if (!names.empty()) {
        // Kept as set until Setting.ini says "@1", so a restart still ends it; the next round tries again.
        if (SaveResult saved = m_setting.Save(m_servers.Entries()); !saved) {
            AppendRunLog(time + gbk::FromUtf8(kSettingSaveFailedText) + saved.Reason());
            UpdateData(false);
            return;
        }
    }
    // An entry deleted meanwhile only drops its maintenance.
    if (SaveResult dropped = m_maintenance.End(ended); !dropped)
        AppendRunLog(time + gbk::FromQString(QString::fromStdString(m_maintenance.File().string())) + ": " +
                     dropped.Reason());
    for (const std::string& name : names) AppendRunLog(MaintenanceEndedLine(name, now));
    UpdateData(false);
}

void CTessivDlg::ReportOutsideEdit() {
    AppendRunLog("<" + FormatLocalTime(m_settings.clock(), kPaneTimeFormat) + "> " +
                 gbk::FromUtf8(kSettingReloadedText));
    UpdateData(false);
}

// The run pane is read-only, so only the options travel back from the controls: reading the pane's text would
// turn a character cut by the pane cap into a replacement character.
void CTessivDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        ReadChecked(m_checkPlaySound, m_bPlaySound);
        ReadChecked(m_checkMuteConnection, m_bMuteConnection);
        ReadChecked(m_checkTopOnAlarm, m_bTopOnAlarm);
        ReadChecked(m_checkMuteServerFault, m_bMuteServerFault);
        ReadChecked(m_checkMuteDiskSpace, m_bMuteDiskSpace);
        ReadChecked(m_checkMuteDbLog, m_bMuteDbLog);
        return;
    }
    m_runView->Show(m_strRunLog);
    SetChecked(m_checkPlaySound, m_bPlaySound);
    SetChecked(m_checkMuteConnection, m_bMuteConnection);
    SetChecked(m_checkTopOnAlarm, m_bTopOnAlarm);
    SetChecked(m_checkMuteServerFault, m_bMuteServerFault);
    SetChecked(m_checkMuteDiskSpace, m_bMuteDiskSpace);
    SetChecked(m_checkMuteDbLog, m_bMuteDbLog);
}

void CTessivDlg::StartMonitoring() {
    if (m_bRunning || m_closing) return;
    m_bRunning = true;
    // Disabling the focused Start button would hand the focus on to 退出, where a stray Space ends the
    // monitor.
    QWidget* focused = focusWidget();
    if (focused == nullptr || focused == m_buttonStart) m_editRunLog->setFocus();
    m_buttonStart->setEnabled(false);
    m_timerRound.start(m_settings.pacing.firstRound);
    AppendRunLog(gbk::FromUtf8(kStartLine));
    UpdateData(false);
}

void CTessivDlg::OnTimer(int id) {
    if (id == kTimerStart) StartMonitoring();
    if (id == kTimerRound) StartPollRound();
}

void CTessivDlg::StartPollRound() {
    if (m_closing) return;
    // The previous worker armed this timer as its last act; it has ended or is about to.
    if (m_hPollThread.joinable()) m_hPollThread.join();
    // No round is running now; an open list dialog takes any outside edit itself when it closes.
    if (!m_listOpen) {
        TakeOutsideEdit();
        EndDueMaintenance();
    }
    StatusQuery query = [this](const std::string& url, std::string& report) {
        QueryOptions options{&m_control.StopFlag(), m_settings.clock, m_settings.queryLimits};
        return QueryServerStatus(url, report, options);
    };
    PollRoundContext context{
        *this, m_control, std::move(query), m_settings.pacing, m_settings.clock, m_settings.roundObserver};
    m_roundRunning = true;
    try {
        m_hPollThread = std::thread([this, context = std::move(context)]() mutable {
            crashdump::ThreadGuard altStack;
            PollRoundThread(std::move(context));
            m_roundRunning = false;
            m_windowCalls->Post([this] { emit RoundFinished(); });
        });
    } catch (const std::system_error&) {
        // No thread, no round; and since only a round arms the timer again, no later round either.
        m_roundRunning = false;
    }
}

// Ends a running round before the window goes: cancels its query, wakes its pauses and keeps serving its
// calls into the window until it has ended, so the worker never waits on a window that waits on it.
void CTessivDlg::StopPollRound() {
    m_closing = true;
    m_timerStart.stop();
    m_timerRound.stop();
    m_control.RequestStop();
    if (m_roundRunning) {
        QEventLoop loop;
        connect(this, &CTessivDlg::RoundFinished, &loop, &QEventLoop::quit);
        if (m_roundRunning) loop.exec();
    }
    if (m_hPollThread.joinable()) m_hPollThread.join();
}

void CTessivDlg::AppendRunLog(std::string line) {
    m_windowCalls->Call([this, &line] {
        PrependPaneText(m_strRunLog, line);
        m_runView->Prepended(line.size() + 2);
    });
}

void CTessivDlg::RaiseAlarm(std::string line, bool soundFlag) {
    const FaultCategory category = ClassifyFaultLine(line);
    RaiseAlarm(std::move(line), soundFlag, AlarmFacts{{}, {}, category});
}

void CTessivDlg::RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) {
    bool recordSound = soundFlag;  // set on the window's thread, read here once the call is done
    m_windowCalls->Call([this, &line, &facts, &recordSound, soundFlag] {
        const AlarmVerdict verdict =
            m_alarmFilter != nullptr ? m_alarmFilter->Judge(facts, m_settings.clock()) : AlarmVerdict::Alarm;
        if (verdict == AlarmVerdict::Pending) {
            // As a fault whose category is muted, but without bringing the window forward or telling anyone.
            recordSound = false;
            AddAlarmPaneLine(line);
            return;
        }
        const bool sound = soundFlag && verdict == AlarmVerdict::Alarm;
        recordSound = sound;
        ShowAlarm(line, sound);
        if (m_observers.empty() || m_closing) return;
        AlarmEvent event;
        event.line = line;
        event.serverName = std::move(facts.serverName);
        event.url = std::move(facts.url);
        event.category = facts.category;
        event.soundFlag = sound;
        event.sounding = IsSounding();
        event.time = std::chrono::system_clock::from_time_t(m_settings.clock());
        TellObservers([&event](AlarmObserver& observer) { observer.AlarmRaised(event); });
    });
    AppendAlarmRecord(m_logDir / kAlarmLogFileName, line, recordSound);
}

template <typename Tell>
void CTessivDlg::TellObservers(Tell tell) {
    for (AlarmObserver* observer : m_observers) {
        try {
            tell(*observer);
        } catch (const std::exception& error) {
            ReportObserverFailure(error.what());
        } catch (...) {
            ReportObserverFailure("unknown error");
        }
    }
}

void CTessivDlg::ReportObserverFailure(const char* what) {
    if (std::exchange(m_observerFailureReported, true)) return;
    const std::string line = "<" + FormatLocalTime(m_settings.clock(), kPaneTimeFormat) + "> " +
                             gbk::FromUtf8(kObserverFailedText) + gbk::FromQString(QString::fromUtf8(what));
    PrependPaneText(m_strRunLog, line);
    m_runView->Prepended(line.size() + 2);
    m_runView->Show(m_strRunLog);
}

void CTessivDlg::AddAlarmPaneLine(const std::string& line) {
    PrependPaneText(m_strAlarmLog, line);
    m_alarmView->Prepended(line.size() + 2);
    m_alarmView->Show(m_strAlarmLog);
    // A screen reader announces the alarm; the pane's inserted line carries its text.
    QAccessibleEvent alert(m_editAlarmLog, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void CTessivDlg::ShowAlarm(const std::string& line, bool soundFlag) {
    AddAlarmPaneLine(line);
    if (m_closing) return;
    if (m_bTopOnAlarm.load() != 0) BringForwardForAlarm();
    if (soundFlag && m_bPlaySound.load() != 0) {
        m_sound->Play();
        setWindowTitle(QString::fromUtf8(kAlarmTitle));
    }
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

void CTessivDlg::AddAlarmObserver(AlarmObserver* observer) {
    if (observer == nullptr) return;
    m_observers.push_back(observer);
    observer->Attached(RunPaneNotices());
}

RunPaneSink CTessivDlg::RunPaneNotices() {
    if (!m_notices) {
        m_notices = std::make_shared<RunPaneRelay>([window = QPointer<CTessivDlg>(this)](auto lines) {
            if (!window) return;
            for (std::string& line : lines) window->AppendRunLog(std::move(line));
            window->OnPollRefresh();
        });
    }
    return [relay = m_notices](std::string line) { relay->Push(std::move(line)); };
}

void CTessivDlg::PollRefresh() {
    m_windowCalls->Call([this] { OnPollRefresh(); });
}

// Only the all-clear sends the silence command from the worker.
void CTessivDlg::Silence() {
    m_windowCalls->Call([this] {
        StopAlarmSound();
        TellObservers([](AlarmObserver& observer) { observer.AllClear(); });
    });
}

void CTessivDlg::ClearAlarmPane() {
    m_windowCalls->Call([this] { OnClearAlarmPane(); });
}

void CTessivDlg::ArmRoundTimer(std::chrono::milliseconds delay) {
    m_windowCalls->Post([this, delay] {
        if (!m_closing) m_timerRound.start(delay);
    });
}

MuteOptions CTessivDlg::Mutes() const {
    return MuteOptions{m_bMuteConnection.load() != 0, m_bMuteServerFault.load() != 0,
                       m_bMuteDiskSpace.load() != 0, m_bMuteDbLog.load() != 0};
}

bool CTessivDlg::IsSounding() const {
    return m_sound->IsSounding();
}

void CTessivDlg::OnSilence() {
    StopAlarmSound();
    TellObservers([](AlarmObserver& observer) { observer.AlarmSilenced(); });
}

void CTessivDlg::StopAlarmSound() {
    m_sound->Stop();
    setWindowTitle(QString::fromUtf8(kQuietTitle));
}

void CTessivDlg::OnClearAlarmPane() {
    m_strAlarmLog.clear();
    m_alarmView->Show(m_strAlarmLog);
    TellObservers([](AlarmObserver& observer) { observer.AlarmPaneCleared(); });
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
    if (m_closing) return;
    CServerInfodlg dialog(m_servers, m_setting, this);
    dialog.OfferMaintenance(m_maintenance, m_settings.clock, [this](std::string line) {
        AppendRunLog(std::move(line));
        UpdateData(false);
    });
    m_listOpen = true;
    m_serverList = &dialog;
    dialog.exec();
    m_serverList = nullptr;
    m_listOpen = false;
    if (dialog.TookFileVersion()) ReportOutsideEdit();
}

void CTessivDlg::reject() {
    StopPollRound();
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
