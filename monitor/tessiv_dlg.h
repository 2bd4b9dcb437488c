#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include "monitor/alarm_observer.h"
#include "polling/monitor_port.h"
#include "polling/pacing.h"
#include "polling/round_control.h"
#include "polling/status_query.h"
#include "servers/maintenance.h"
#include "servers/server_lists.h"
#include "servers/setting_store.h"
#include "text/time_text.h"

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class CServerInfodlg;
class AlarmSound;
class AlarmFilter;
class PaneView;
class RunPaneRelay;
class RoundObserver;
class WindowCalls;

// Where the window keeps its files and how fast it runs. The program uses the defaults.
struct MonitorSettings {
    std::filesystem::path dataDir;  // Setting.ini (and log.txt); empty: the executable's directory
    std::filesystem::path logDir;   // log.txt; empty: dataDir
    Pacing pacing;
    Clock clock = SystemClock();
    QueryLimits queryLimits;
    bool installCrashHandler = true;
    RoundObserver* roundObserver = nullptr;  // told of every polled entry, on the worker thread
};

// The monitor window: the server entries and their states, the two panes, the alarm, the six options, and the
// timers that start monitoring and each poll round. Poll rounds run on a worker thread and reach the window
// through its MonitorPort side, which carries every call to the window's thread.
class CTessivDlg final : public QDialog, public MonitorPort {
    Q_OBJECT
public:
    explicit CTessivDlg(MonitorSettings settings = {}, QWidget* parent = nullptr);
    ~CTessivDlg() override;
    CTessivDlg(const CTessivDlg&) = delete;
    CTessivDlg& operator=(const CTessivDlg&) = delete;

    // MonitorPort: callable from the poll-round worker.
    void AppendRunLog(std::string line) override;
    void RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) override;
    // An alarm whose entry is not known: its category is the line's.
    void RaiseAlarm(std::string line, bool soundFlag);
    void PollRefresh() override;
    void Silence() override;
    void ClearAlarmPane() override;
    void ArmRoundTimer(std::chrono::milliseconds delay) override;
    MuteOptions Mutes() const override;
    ServerLists& Servers() override { return m_servers; }

    // Window thread only.
    const std::string& RunLog() const { return m_strRunLog; }
    const std::string& AlarmLog() const { return m_strAlarmLog; }
    bool IsSounding() const;
    bool IsRoundRunning() const { return m_roundRunning.load(); }
    const std::filesystem::path& DataDir() const { return m_dataDir; }
    const std::filesystem::path& LogDir() const { return m_logDir; }

    // Told of every alarm, silence, all-clear and emptied alarm pane; must outlive the window. It is handed
    // RunPaneNotices().
    void AddAlarmObserver(AlarmObserver* observer);
    // The additions' one way into the run pane: from any thread, never waiting on the window, and harmless
    // once the window is gone.
    RunPaneSink RunPaneNotices();
    // Brings the window back from anywhere: shown, not minimised, raised and active; an open server list
    // stays above it.
    void ShowAndRaise();
    // Offers the history (Ctrl+H and 历史记录 in both panes' context menus); without an opener neither is
    // there.
    void SetHistoryOpener(std::function<void()> open);
    // Asked before each alarm whether it waits for confirmation or keeps quiet; must outlive the window.
    // Without one every alarm is shown as the analysis raised it.
    void SetAlarmFilter(AlarmFilter* filter) { m_alarmFilter = filter; }

    void StartMonitoring();
    void OnSilence();
    void OnClearAlarmPane();
    void OnExit();
    void OnOptionChanged();
    void OnPollRefresh();
    void OnManageServers();

    // The options behind the check boxes, read by the worker.
    std::atomic<int> m_bTopOnAlarm{1};
    std::atomic<int> m_bPlaySound{1};
    std::atomic<int> m_bMuteConnection{0};
    std::atomic<int> m_bMuteServerFault{0};
    std::atomic<int> m_bMuteDiskSpace{0};
    std::atomic<int> m_bMuteDbLog{0};

signals:
    void RoundFinished();

protected:
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildControls();
    void OnInitDialog();
    void LoadServerEntries();
    // Takes a Setting.ini another program changed as the new list, and says so in the run pane.
    void TakeOutsideEdit();
    void ReportOutsideEdit();
    // Enables every entry whose maintenance has ended by the window's clock, saves Setting.ini and says so
    // in the run pane.
    void EndDueMaintenance();
    void UpdateData(bool saveAndValidate);
    void OnTimer(int id);
    void StartPollRound();
    void StopPollRound();
    void ShowAlarm(const std::string& line, bool soundFlag);
    void AddAlarmPaneLine(const std::string& line);
    void BringForwardForAlarm();
    // Tells every observer; one that throws costs neither the others nor the alarm's own steps.
    void ShowPaneMenu(QPlainTextEdit* pane, const QPoint& position);
    template <typename Tell>
    void TellObservers(Tell tell);
    void ReportObserverFailure(const char* what);
    void StopAlarmSound();

    MonitorSettings m_settings;
    std::filesystem::path m_dataDir;
    std::filesystem::path m_logDir;
    SettingStore m_setting;
    Maintenance m_maintenance;
    bool m_listOpen = false;  // the server list dialog is up: its rows stand for the entries
    QPointer<CServerInfodlg> m_serverList;
    bool m_observerFailureReported = false;
    std::vector<AlarmObserver*> m_observers;
    bool m_bRunning = false;
    bool m_closing = false;
    ServerLists m_servers;
    std::string m_strRunLog;
    std::string m_strAlarmLog;

    RoundControl m_control;
    std::thread m_hPollThread;
    std::atomic<bool> m_roundRunning{false};

    QTimer m_timerStart;  // timer 1
    QTimer m_timerRound;  // timer 2
    AlarmSound* m_sound = nullptr;
    WindowCalls* m_windowCalls = nullptr;  // how the worker's calls reach this window's thread

    QPushButton* m_buttonStart = nullptr;
    QPushButton* m_buttonExit = nullptr;
    QPushButton* m_buttonSilence = nullptr;
    QPushButton* m_buttonManage = nullptr;
    QPushButton* m_buttonClear = nullptr;
    QPlainTextEdit* m_editRunLog = nullptr;
    QPlainTextEdit* m_editAlarmLog = nullptr;
    QCheckBox* m_checkPlaySound = nullptr;
    QCheckBox* m_checkMuteConnection = nullptr;
    QCheckBox* m_checkMuteServerFault = nullptr;
    QCheckBox* m_checkMuteDiskSpace = nullptr;
    QCheckBox* m_checkMuteDbLog = nullptr;
    QCheckBox* m_checkTopOnAlarm = nullptr;
    std::unique_ptr<PaneView> m_runView;
    std::unique_ptr<PaneView> m_alarmView;
    std::shared_ptr<RunPaneRelay> m_notices;
    std::function<void()> m_openHistory;
    AlarmFilter* m_alarmFilter = nullptr;
};

// Window texts.
inline constexpr const char* kWindowCaption = "GPS服务器监控工具  Ver0.3   https://tessiv.example.org";
inline constexpr const char* kQuietTitle = "Vantrel  Ver0.3";
inline constexpr const char* kAlarmTitle = "有服务器异常 ...  Ver0.3";
inline constexpr const char* kStartLine = "服务器监控程序已经启动!";
inline constexpr const char* kObserverFailedText = "报警附加功能出错（此后的错误不再显示）：";
inline constexpr const char* kSettingReloadedText = "Setting.ini 已被其他程序修改，已重新读取服务器列表";
inline constexpr const char* kSettingSaveFailedText = "无法保存 Setting.ini：";
