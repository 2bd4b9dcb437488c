#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "history/history_events.h"
#include "ports/alarm_observer.h"
#include "ports/round_observer.h"

namespace history {

class HistoryDatabase;

struct HistoryOptions {
    int keepDays = 400;
    std::function<TimePoint()> clock = [] { return Clock::now(); };  // called from the worker and the writer
    std::size_t queueLimit = 256;                                    // rounds and alarm events waiting
};

inline constexpr const char* kHistoryFileName = "history.sqlite";

// Records every round and the alarm's life in history.sqlite. The observers only copy what they are told into
// a bounded queue (when it is full the item is dropped and counted); a thread of its own writes each round in
// one transaction and removes old rows in small steps at start and once an hour. Whatever the file does
// (locked, corrupt, full, read-only, not a regular file) costs one run-pane line and never the monitor; a
// corrupt file is kept aside and a new one started, another program's or a newer Tessiv's is left untouched.
// Start records the monitor's start and the destructor its stop. Before Start it records nothing.
class HistoryStore final : public AlarmObserver, public RoundObserver {
public:
    HistoryStore();
    ~HistoryStore() override;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Starts the writer on `file`. Its lines go to `sink`, or without one to the run pane the core offered.
    void Start(const std::filesystem::path& file, HistoryOptions options = {}, RunPaneSink sink = {});

    // AlarmObserver, on the core's thread.
    void Attached(const RunPaneSink& runPane) override;
    void AlarmRaised(const AlarmEvent& event) override;
    void AlarmSilenced() override;
    void AllClear() override;
    void AlarmPaneCleared() override;

    // An operator's acknowledgement of a host's fault began or ended (`who` gave it, or ended it). Core
    // thread.
    void Acknowledgement(const std::string& name, const std::string& url, bool acknowledged,
                         const std::string& who, TimePoint time);

    // RoundObserver, on the poll-round worker.
    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;

    // Waits until everything handed over so far is written or given up, and any due clean-up is done.
    void Flush();
    std::uint64_t Dropped() const { return m_dropped.load(); }

private:
    void Push(HistoryItem item);
    void Run();
    void OpenDatabase();
    void WriteOne(const HistoryItem& item);
    void Retain();
    void Failed(const std::exception& error, bool atOpen);
    void MoveAsideAndRestart();
    void Say(const std::string& utf8);

    std::filesystem::path m_file;
    HistoryOptions m_options;
    std::atomic<bool> m_started{false};

    std::mutex m_sinkMutex;
    RunPaneSink m_offered;
    RunPaneSink m_sink;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<HistoryItem> m_queue;
    RoundBatch m_round;  // the round being polled
    bool m_writing = false;
    bool m_retainDue = true;
    bool m_stop = false;
    std::atomic<bool> m_giveUp{false};
    std::atomic<std::uint64_t> m_dropped{0};

    // The writer thread's own.
    std::unique_ptr<HistoryDatabase> m_db;
    bool m_off = false;  // not a regular file: never touched again
    std::set<std::string> m_said;
    TimePoint m_lastRetain;
    std::uint64_t m_droppedSaid = 0;

    std::thread m_writer;
};

}  // namespace history
