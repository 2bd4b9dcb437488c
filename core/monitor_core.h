#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QTimer>

#include "core/monitor_options.h"
#include "core/monitor_settings.h"
#include "polling/monitor_port.h"
#include "polling/round_control.h"
#include "ports/alarm_observer.h"
#include "ports/monitor_view.h"
#include "servers/maintenance.h"
#include "servers/server_lists.h"
#include "servers/setting_store.h"

class AlarmFilter;
class RunPaneRelay;
class ThreadCalls;

// The monitor without its looks: the server entries and their states, the two pane texts, the six options,
// the alarm's steps, log.txt, and the timers that start monitoring and each poll round. Poll rounds run on a
// worker thread and reach the core through its MonitorPort side, which carries every call to the core's
// thread; what is to be seen goes to its MonitorView.
class MonitorCore final : public QObject, public MonitorPort {
    Q_OBJECT
public:
    // `view` must outlive the core; nothing is read or started before Start.
    MonitorCore(MonitorSettings settings, MonitorView& view, QObject* parent = nullptr);
    ~MonitorCore() override;
    MonitorCore(const MonitorCore&) = delete;
    MonitorCore& operator=(const MonitorCore&) = delete;

    // Reads Setting.ini, ends maintenance that ended meanwhile and arms the timer that starts monitoring.
    void Start();
    // Ends a running round and starts no other; the panes stay as they are.
    void Stop();
    // From the next round on, a host that answers without a status report is a connection fault.
    void SetStrictReports(bool on) { m_strictReports = on; }
    // From the next round on, up to `hosts` hosts are asked at once (1: one after the other, paced).
    void SetParallel(int hosts) { m_settings.parallel = hosts; }

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

    // The core's thread only.
    const std::string& RunLog() const { return m_strRunLog; }
    const std::string& AlarmLog() const { return m_strAlarmLog; }
    bool IsSounding() const { return m_view.IsSounding(); }
    // An alarm entitled to sound was raised (after the alarm filter's verdict, whatever the view or the
    // play-sound option make of the sound) and has been neither silenced, nor ended by the all-clear, nor
    // cleared from the alarm pane since: nobody dealt with it yet.
    bool AlarmNotDealtWith() const { return m_alarmNotDealtWith; }
    bool IsRoundRunning() const { return m_roundRunning.load(); }
    bool IsMonitoring() const { return m_bRunning; }
    bool IsClosing() const { return m_closing; }
    const std::filesystem::path& DataDir() const { return m_dataDir; }
    const std::filesystem::path& LogDir() const { return m_logDir; }
    const MonitorSettings& Settings() const { return m_settings; }
    SettingStore& Setting() { return m_setting; }
    Maintenance& MaintenanceList() { return m_maintenance; }

    // Told of every alarm, silence, all-clear and emptied alarm pane; must outlive the core. It is handed
    // RunPaneNotices().
    void AddAlarmObserver(AlarmObserver* observer);
    // The additions' one way into the run pane: from any thread, never waiting on the core, and harmless
    // once the core is gone.
    RunPaneSink RunPaneNotices();
    // The same way in, for lines that warn (see MonitorView::RunWarningAdded).
    RunPaneSink RunPaneWarnings();
    // Asked before each alarm whether it waits for confirmation or keeps quiet; must outlive the core.
    void SetAlarmFilter(AlarmFilter* filter) { m_alarmFilter = filter; }
    // While the server list is open its rows stand for the entries: no outside edit is taken.
    void SetListOpen(bool open) { m_listOpen = open; }
    // Says in the run pane that Setting.ini was read again after another program changed it.
    void ReportOutsideEdit();
    // Reads Setting.ini again (entries with the same name and URL keep their state), then runs `also`: now
    // when no round runs, else as soon as the round has ended.
    void Reload(std::function<void()> also = {});
    // Warns in the run pane when no entry of the list would be polled. The program calls it once it has
    // started; a reload warns by itself.
    void WarnIfNoHostEnabled();

    void StartMonitoring();
    void OnSilence();
    void OnClearAlarmPane();

    // From any thread: the worker reads the mutes of each fault line as they are at that moment.
    MonitorOptions Options() const;
    void SetOptions(const MonitorOptions& options);

signals:
    // A round's worker has started; RoundFinished follows when it has ended.
    void RoundStarted();
    void RoundFinished();

private:
    void TakeOutsideEdit();
    void ReloadNow();
    // Enables every entry whose maintenance has ended by the core's clock, saves Setting.ini and says so in
    // the run pane.
    void EndDueMaintenance();
    void StartPollRound();
    void ShowAlarm(const std::string& line, bool soundFlag);
    void AddAlarmPaneLine(const std::string& line);
    void AddRunLine(const std::string& line);
    void AddRunWarning(const std::string& line);
    // "<time> " + the text, in GBK.
    std::string TimedLine(const std::string& utf8Text) const;
    // Setting.ini is GBK; a list that reads as UTF-8 shows its names garbled.
    void WarnIfUtf8(const std::vector<std::string>& entries);
    // Tells every observer; one that throws costs neither the others nor the alarm's own steps.
    template <typename Tell>
    void TellObservers(Tell tell);
    void ReportObserverFailure(const char* what);
    void StopAlarmSound();

    MonitorSettings m_settings;
    MonitorView& m_view;
    std::filesystem::path m_dataDir;
    std::filesystem::path m_logDir;
    SettingStore m_setting;
    Maintenance m_maintenance;
    bool m_listOpen = false;
    bool m_observerFailureReported = false;
    std::vector<AlarmObserver*> m_observers;
    bool m_bRunning = false;
    bool m_closing = false;
    ServerLists m_servers;
    std::string m_strRunLog;
    std::string m_strAlarmLog;
    bool m_reloadPending = false;
    std::vector<std::function<void()>> m_reloadAlso;

    RoundControl m_control;
    std::thread m_hPollThread;
    std::atomic<bool> m_roundRunning{false};
    bool m_strictReports = false;
    bool m_alarmNotDealtWith = false;

    QTimer m_timerStart;             // timer 1
    QTimer m_timerRound;             // timer 2
    ThreadCalls* m_calls = nullptr;  // how the worker's calls reach this core's thread
    std::shared_ptr<RunPaneRelay> m_notices;
    std::shared_ptr<RunPaneRelay> m_warnings;
    AlarmFilter* m_alarmFilter = nullptr;
    mutable std::mutex m_optionsMutex;
    MonitorOptions m_options;
};

// Texts of the monitor's own.
inline constexpr const char* kStartLine = "服务器监控程序已经启动!";
inline constexpr const char* kObserverFailedText = "报警附加功能出错（此后的错误不再显示）：";
inline constexpr const char* kSettingReloadedText = "Setting.ini 已被其他程序修改，已重新读取服务器列表";
inline constexpr const char* kSettingSaveFailedText = "无法保存 Setting.ini：";
inline constexpr const char* kReloadedText = "已按请求重新读取 Setting.ini";
inline constexpr const char* kNoHostText = "没有启用的服务器，不会查询任何服务器：";
inline constexpr const char* kUtf8SettingText =
    "的内容是 UTF-8 编码，而此文件应为 GBK 编码，其中的中文名称会显示为乱码";
inline constexpr const char* kRoundNotStartedText = "无法开始本轮查询（";
inline constexpr const char* kRoundRetryText = "），到下一轮的时间再试";
