#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <QDialog>
#include <QPointer>

#include "core/alarm_observer.h"
#include "core/monitor_core.h"
#include "polling/monitor_port.h"

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class CServerInfodlg;
class AlarmSound;
class AlarmFilter;
class PaneView;

// The monitor window: a view of the monitor's core, with the six options as check boxes, the alarm's sound
// and title, and the server list. Poll rounds reach the core through the window's MonitorPort side.
class CTessivDlg final : public QDialog, public MonitorPort, private MonitorView {
    Q_OBJECT
public:
    explicit CTessivDlg(MonitorSettings settings = {}, QWidget* parent = nullptr);
    ~CTessivDlg() override;
    CTessivDlg(const CTessivDlg&) = delete;
    CTessivDlg& operator=(const CTessivDlg&) = delete;

    // MonitorPort: callable from the poll-round worker.
    void AppendRunLog(std::string line) override { m_core.AppendRunLog(std::move(line)); }
    void RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) override {
        m_core.RaiseAlarm(std::move(line), soundFlag, std::move(facts));
    }
    // An alarm whose entry is not known: its category is the line's.
    void RaiseAlarm(std::string line, bool soundFlag) { m_core.RaiseAlarm(std::move(line), soundFlag); }
    void PollRefresh() override { m_core.PollRefresh(); }
    void Silence() override { m_core.Silence(); }
    void ClearAlarmPane() override { m_core.ClearAlarmPane(); }
    void ArmRoundTimer(std::chrono::milliseconds delay) override { m_core.ArmRoundTimer(delay); }
    MuteOptions Mutes() const override { return m_core.Mutes(); }
    ServerLists& Servers() override { return m_core.Servers(); }

    // Window thread only.
    MonitorCore& Core() { return m_core; }
    const std::string& RunLog() const { return m_core.RunLog(); }
    const std::string& AlarmLog() const { return m_core.AlarmLog(); }
    bool IsSounding() const override;
    bool IsRoundRunning() const { return m_core.IsRoundRunning(); }
    const std::filesystem::path& DataDir() const { return m_core.DataDir(); }
    const std::filesystem::path& LogDir() const { return m_core.LogDir(); }

    // Told of every alarm, silence, all-clear and emptied alarm pane; must outlive the window. It is handed
    // RunPaneNotices().
    void AddAlarmObserver(AlarmObserver* observer) { m_core.AddAlarmObserver(observer); }
    // The additions' one way into the run pane: from any thread, never waiting on the window, and harmless
    // once the window is gone.
    RunPaneSink RunPaneNotices() { return m_core.RunPaneNotices(); }
    // Brings the window back from anywhere: shown, not minimised, raised and active; an open server list
    // stays above it.
    void ShowAndRaise();
    // Offers the history (Ctrl+H and 历史记录 in both panes' context menus); without an opener neither is
    // there.
    void SetHistoryOpener(std::function<void()> open);
    // Asked before each alarm whether it waits for confirmation or keeps quiet; must outlive the window.
    // Without one every alarm is shown as the analysis raised it.
    void SetAlarmFilter(AlarmFilter* filter) { m_core.SetAlarmFilter(filter); }

    void StartMonitoring() { m_core.StartMonitoring(); }
    void OnSilence() { m_core.OnSilence(); }
    void OnClearAlarmPane() { m_core.OnClearAlarmPane(); }
    void OnExit();
    void OnOptionChanged();
    void OnPollRefresh();
    void OnManageServers();

signals:
    void RoundFinished();

protected:
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // MonitorView
    void RunLineAdded(const std::string& line) override;
    void Refresh() override { UpdateData(false); }
    void AlarmLineAdded(const std::string& line) override;
    void AlarmPaneEmptied() override;
    void AlarmShown(bool forward, bool sound) override;
    void SoundStopped() override;
    void MonitoringStarted() override;

    void BuildControls();
    void OnInitDialog();
    void UpdateData(bool saveAndValidate);
    void BringForwardForAlarm();
    void ShowPaneMenu(QPlainTextEdit* pane, const QPoint& position);

    AlarmSound* m_sound = nullptr;
    MonitorCore m_core;

public:
    // The options behind the check boxes, read by the worker; the core's.
    std::atomic<int>& m_bTopOnAlarm = m_core.m_bTopOnAlarm;
    std::atomic<int>& m_bPlaySound = m_core.m_bPlaySound;
    std::atomic<int>& m_bMuteConnection = m_core.m_bMuteConnection;
    std::atomic<int>& m_bMuteServerFault = m_core.m_bMuteServerFault;
    std::atomic<int>& m_bMuteDiskSpace = m_core.m_bMuteDiskSpace;
    std::atomic<int>& m_bMuteDbLog = m_core.m_bMuteDbLog;

private:
    QPointer<CServerInfodlg> m_serverList;
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
    std::function<void()> m_openHistory;
};

// Window texts.
inline constexpr const char* kWindowCaption = "GPS服务器监控工具  Ver0.3   https://tessiv.example.org";
inline constexpr const char* kQuietTitle = "Vantrel  Ver0.3";
inline constexpr const char* kAlarmTitle = "有服务器异常 ...  Ver0.3";
