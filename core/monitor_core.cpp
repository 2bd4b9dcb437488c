#include "core/monitor_core.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>

#include <QEventLoop>
#include <QPointer>
#include <QStringDecoder>

#include "core/alarm_log.h"
#include "core/pane_text.h"
#include "core/run_pane_relay.h"
#include "core/thread_calls.h"
#include "crash/crash_dump.h"
#include "locations/module_dir.h"
#include "polling/poll_round.h"
#include "polling/report_analysis.h"
#include "ports/alarm_filter.h"
#include "servers/server_entry.h"
#include "servers/setting_file.h"
#include "text/gbk.h"

MonitorCore::MonitorCore(MonitorSettings settings, MonitorView& view, QObject* parent)
    : QObject(parent),
      m_settings(std::move(settings)),
      m_view(view),
      m_dataDir(m_settings.dataDir.empty() ? GetModuleDir() : m_settings.dataDir),
      m_logDir(m_settings.logDir.empty() ? m_dataDir : m_settings.logDir),
      m_setting(m_dataDir / kSettingFileName),
      m_maintenance(m_dataDir / kMaintenanceFileName) {
    m_calls = new ThreadCalls(this);
    m_timerStart.setSingleShot(true);
    m_timerRound.setSingleShot(true);
    connect(&m_timerStart, &QTimer::timeout, this, &MonitorCore::StartMonitoring);
    connect(&m_timerRound, &QTimer::timeout, this, &MonitorCore::StartPollRound);
    // A reload asked for during a round waits for its end; one still waiting when the close began is dropped.
    connect(this, &MonitorCore::RoundFinished, this, [this] {
        if (m_reloadPending && !m_roundRunning && !m_closing) ReloadNow();
    });
}

MonitorCore::~MonitorCore() {
    Stop();
}

void MonitorCore::Start() {
    std::vector<std::string> entries = m_setting.Load();
    WarnIfUtf8(entries);
    m_servers.Reset(std::move(entries));
    // A maintenance that ended while the monitor was closed ends now.
    m_maintenance.Load();
    EndDueMaintenance();
    m_view.Refresh();
    m_timerStart.start(m_settings.pacing.startDelay);
}

void MonitorCore::TakeOutsideEdit() {
    std::optional<DiskVersion> disk = m_setting.ChangedOnDisk();
    if (!disk) return;
    WarnIfUtf8(disk->entries);
    m_servers.Replace(std::move(disk->entries));
    m_setting.Take(*disk);
    ReportOutsideEdit();
}

void MonitorCore::Reload(std::function<void()> also) {
    if (also) m_reloadAlso.push_back(std::move(also));
    m_reloadPending = true;
    if (!m_roundRunning && !m_closing) ReloadNow();
}

void MonitorCore::ReloadNow() {
    m_reloadPending = false;
    if (!m_listOpen) {
        std::vector<std::string> entries = m_setting.Load();
        WarnIfUtf8(entries);
        m_servers.Replace(std::move(entries));
        AppendRunLog("<" + FormatLocalTime(m_settings.clock(), kPaneTimeFormat) + "> " +
                     gbk::FromUtf8(kReloadedText));
        WarnIfNoHostEnabled();
        m_view.Refresh();
    }
    for (auto& also : std::exchange(m_reloadAlso, {})) also();
}

void MonitorCore::WarnIfNoHostEnabled() {
    {
        ServerLists::Locked locked = m_servers.Lock();
        if (std::ranges::any_of(locked.m_arrServers,
                                [](const std::string& line) { return !entry::ForPolling(line).paused(); }))
            return;
    }
    AddRunWarning(TimedLine(kNoHostText + m_setting.File().string()));
    m_view.Refresh();
}

void MonitorCore::WarnIfUtf8(const std::vector<std::string>& entries) {
    const bool ascii = std::ranges::all_of(entries, [](const std::string& line) {
        return std::ranges::all_of(line, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    });
    if (ascii) return;
    for (const std::string& line : entries) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        [[maybe_unused]] const QString decoded = utf8.decode(QByteArrayView(line));
        if (utf8.hasError()) return;
    }
    AddRunWarning(TimedLine(m_setting.File().string() + " " + kUtf8SettingText));
    m_view.Refresh();
}

void MonitorCore::EndDueMaintenance() {
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
            m_view.Refresh();
            return;
        }
    }
    // An entry deleted meanwhile only drops its maintenance.
    if (SaveResult dropped = m_maintenance.End(ended); !dropped)
        AppendRunLog(time + gbk::FromQString(QString::fromStdString(m_maintenance.File().string())) + ": " +
                     dropped.Reason());
    for (const std::string& name : names) AppendRunLog(MaintenanceEndedLine(name, now));
    m_view.Refresh();
}

void MonitorCore::ReportOutsideEdit() {
    AppendRunLog("<" + FormatLocalTime(m_settings.clock(), kPaneTimeFormat) + "> " +
                 gbk::FromUtf8(kSettingReloadedText));
    m_view.Refresh();
}

void MonitorCore::StartMonitoring() {
    if (m_bRunning || m_closing) return;
    m_bRunning = true;
    m_view.MonitoringStarted();
    m_timerRound.start(m_settings.pacing.firstRound);
    AppendRunLog(gbk::FromUtf8(kStartLine));
    m_view.Refresh();
}

void MonitorCore::StartPollRound() {
    if (m_closing) return;
    // The previous worker armed this timer as its last act; it has ended or is about to.
    if (m_hPollThread.joinable()) m_hPollThread.join();
    // No round is running now; an open list dialog takes any outside edit itself when it closes.
    if (m_reloadPending) ReloadNow();
    if (!m_listOpen) {
        TakeOutsideEdit();
        EndDueMaintenance();
    }
    StatusQuery query = [this](const std::string& url, std::string& report) {
        QueryOptions options{&m_control.StopFlag(), m_settings.clock, m_settings.queryLimits};
        return QueryServerStatus(url, report, options);
    };
    PollRoundContext context{*this,
                             m_control,
                             std::move(query),
                             m_settings.pacing,
                             m_settings.clock,
                             m_settings.roundObserver,
                             m_strictReports,
                             m_settings.parallel};
    m_roundRunning = true;
    try {
        m_hPollThread = std::thread([this, context = std::move(context)]() mutable {
            crashdump::ThreadGuard altStack;
            PollRoundThread(std::move(context));
            m_roundRunning = false;
            m_calls->Post([this] { emit RoundFinished(); });
        });
    } catch (const std::system_error& error) {
        // Out of threads (a process limit, memory): said once per attempt, and tried again at the next
        // round's time, since only a round arms the timer by itself.
        m_roundRunning = false;
        AddAlarmPaneLine(TimedLine(kRoundNotStartedText + QString::fromLocal8Bit(error.what()).toStdString() +
                                   kRoundRetryText));
        m_timerRound.start(m_settings.pacing.nextRound);
        return;
    }
    emit RoundStarted();
}

// Cancels a running round's query, wakes its pauses and keeps serving its calls into the core until it has
// ended, so the worker never waits on a core that waits on it.
void MonitorCore::Stop() {
    m_closing = true;
    m_timerStart.stop();
    m_timerRound.stop();
    m_control.RequestStop();
    if (m_roundRunning) {
        QEventLoop loop;
        connect(this, &MonitorCore::RoundFinished, &loop, &QEventLoop::quit);
        if (m_roundRunning) loop.exec();
    }
    if (m_hPollThread.joinable()) m_hPollThread.join();
}

void MonitorCore::AddRunLine(const std::string& line) {
    PrependPaneText(m_strRunLog, line);
    m_view.RunLineAdded(line);
}

std::string MonitorCore::TimedLine(const std::string& utf8Text) const {
    return "<" + FormatLocalTime(m_settings.clock(), kPaneTimeFormat) + "> " +
           gbk::FromQString(QString::fromStdString(utf8Text));
}

void MonitorCore::AddRunWarning(const std::string& line) {
    PrependPaneText(m_strRunLog, line);
    m_view.RunWarningAdded(line);
}

void MonitorCore::AppendRunLog(std::string line) {
    m_calls->Call([this, &line] { AddRunLine(line); });
}

void MonitorCore::RaiseAlarm(std::string line, bool soundFlag) {
    const FaultCategory category = ClassifyFaultLine(line);
    RaiseAlarm(std::move(line), soundFlag, AlarmFacts{{}, {}, category});
}

void MonitorCore::RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) {
    bool recordSound = soundFlag;  // set on the core's thread, read here once the call is done
    m_calls->Call([this, &line, &facts, &recordSound, soundFlag] {
        const AlarmVerdict verdict =
            m_alarmFilter != nullptr ? m_alarmFilter->Judge(facts, m_settings.clock()) : AlarmVerdict::Alarm;
        if (verdict == AlarmVerdict::Pending || verdict == AlarmVerdict::Acknowledged) {
            // As a fault whose category is muted, but without fetching the operator or telling anyone.
            recordSound = false;
            AddAlarmPaneLine(line);
            return;
        }
        const bool sound = soundFlag && verdict == AlarmVerdict::Alarm;
        recordSound = sound;
        ShowAlarm(line, sound);
        if (sound && !m_closing) m_alarmNotDealtWith = true;
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
void MonitorCore::TellObservers(Tell tell) {
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

void MonitorCore::ReportObserverFailure(const char* what) {
    if (std::exchange(m_observerFailureReported, true)) return;
    AddRunLine("<" + FormatLocalTime(m_settings.clock(), kPaneTimeFormat) + "> " +
               gbk::FromUtf8(kObserverFailedText) + gbk::FromQString(QString::fromUtf8(what)));
    m_view.Refresh();
}

void MonitorCore::AddAlarmPaneLine(const std::string& line) {
    PrependPaneText(m_strAlarmLog, line);
    m_view.AlarmLineAdded(line);
}

void MonitorCore::ShowAlarm(const std::string& line, bool soundFlag) {
    AddAlarmPaneLine(line);
    if (m_closing) return;
    const MonitorOptions options = Options();
    m_view.AlarmShown(options.topOnAlarm, soundFlag && options.playSound);
}

void MonitorCore::AddAlarmObserver(AlarmObserver* observer) {
    if (observer == nullptr) return;
    m_observers.push_back(observer);
    observer->Attached(RunPaneNotices());
}

RunPaneSink MonitorCore::RunPaneNotices() {
    if (!m_notices) {
        m_notices = std::make_shared<RunPaneRelay>([core = QPointer<MonitorCore>(this)](auto lines) {
            if (!core) return;
            for (std::string& line : lines) core->AppendRunLog(std::move(line));
            core->m_view.Refresh();
        });
    }
    return [relay = m_notices](std::string line) { relay->Push(std::move(line)); };
}

RunPaneSink MonitorCore::RunPaneWarnings() {
    if (!m_warnings) {
        m_warnings = std::make_shared<RunPaneRelay>([core = QPointer<MonitorCore>(this)](auto lines) {
            if (!core) return;
            for (const std::string& line : lines) core->AddRunWarning(line);
            core->m_view.Refresh();
        });
    }
    return [relay = m_warnings](std::string line) { relay->Push(std::move(line)); };
}

void MonitorCore::PollRefresh() {
    m_calls->Call([this] { m_view.Refresh(); });
}

// Only the all-clear sends the silence command from the worker.
void MonitorCore::Silence() {
    m_calls->Call([this] {
        StopAlarmSound();
        m_alarmNotDealtWith = false;
        TellObservers([](AlarmObserver& observer) { observer.AllClear(); });
    });
}

void MonitorCore::ClearAlarmPane() {
    m_calls->Call([this] { OnClearAlarmPane(); });
}

void MonitorCore::ArmRoundTimer(std::chrono::milliseconds delay) {
    m_calls->Post([this, delay] {
        if (!m_closing) m_timerRound.start(delay);
    });
}

MuteOptions MonitorCore::Mutes() const {
    return Options().mutes;
}

MonitorOptions MonitorCore::Options() const {
    std::scoped_lock lock(m_optionsMutex);
    return m_options;
}

void MonitorCore::SetOptions(const MonitorOptions& options) {
    std::scoped_lock lock(m_optionsMutex);
    m_options = options;
}

void MonitorCore::OnSilence() {
    StopAlarmSound();
    m_alarmNotDealtWith = false;
    TellObservers([](AlarmObserver& observer) { observer.AlarmSilenced(); });
}

void MonitorCore::StopAlarmSound() {
    m_view.SoundStopped();
}

void MonitorCore::OnClearAlarmPane() {
    m_strAlarmLog.clear();
    m_alarmNotDealtWith = false;
    m_view.AlarmPaneEmptied();
    TellObservers([](AlarmObserver& observer) { observer.AlarmPaneCleared(); });
}
