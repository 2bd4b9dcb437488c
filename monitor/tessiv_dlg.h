#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QDialog>
#include <QPointer>

#include "core/monitor_core.h"
#include "servers/ui/server_list_dialog.h"

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class CServerInfodlg;
class AlarmSound;
class PaneView;

// The monitor window: a view of the monitor's core, with the six options as check boxes, the alarm's sound
// and title, and the server list. Poll rounds talk to the core, not to the window.
class CTessivDlg final : public QDialog, private MonitorView {
    Q_OBJECT
public:
    explicit CTessivDlg(MonitorSettings settings = {}, QWidget* parent = nullptr);
    ~CTessivDlg() override;
    CTessivDlg(const CTessivDlg&) = delete;
    CTessivDlg& operator=(const CTessivDlg&) = delete;

    // The monitor behind the window: its entries, pane texts, options and rounds. Window thread only.
    MonitorCore& Core() { return m_core; }
    // The alarm sound's loop is playing.
    bool IsSounding() const override;

    // Brings the window back from anywhere: shown, not minimised, raised and active; an open server list
    // stays above it.
    void ShowAndRaise();
    // Offers the history (Ctrl+H and 历史记录 in both panes' context menus); without an opener neither is
    // there.
    void SetHistoryOpener(std::function<void()> open);
    // Offers acknowledging a host's fault in the server list's row menu.
    void OfferAcknowledge(AcknowledgeOffer offer) { m_acknowledge = std::move(offer); }

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
    AcknowledgeOffer m_acknowledge;
};

// Window texts.
inline constexpr const char* kWindowCaption = "GPS服务器监控工具  Ver0.3   https://tessiv.example.org";
inline constexpr const char* kQuietTitle = "Vantrel  Ver0.3";
inline constexpr const char* kAlarmTitle = "有服务器异常 ...  Ver0.3";
