#include "history/history_store.h"

#include <cstdio>
#include <ctime>
#include <span>

#include "history/history_database.h"
#include "history/sqlite_handle.h"
#include "text/gbk.h"
#include "text/time_text.h"

namespace history {

namespace {

std::string KindOf(std::filesystem::file_type type) {
    switch (type) {
        case std::filesystem::file_type::directory:
            return "a folder";
        case std::filesystem::file_type::fifo:
            return "a FIFO";
        case std::filesystem::file_type::block:
        case std::filesystem::file_type::character:
            return "a device";
        case std::filesystem::file_type::socket:
            return "a socket";
        default:
            return "not a plain file";
    }
}

std::filesystem::path WithSuffix(const std::filesystem::path& file, const std::string& suffix) {
    std::filesystem::path named = file;
    named += suffix;
    return named;
}

}  // namespace

HistoryStore::HistoryStore() = default;

HistoryStore::~HistoryStore() {
    {
        std::lock_guard hold(m_mutex);
        // The monitor's stop is written whatever else waits: it ends the outages still open.
        if (m_started.load()) m_queue.push_back(MonitorMark{m_options.clock(), false});
        m_stop = true;
    }
    m_giveUp = true;
    m_wake.notify_all();
    if (m_writer.joinable()) m_writer.join();
}

void HistoryStore::Start(const std::filesystem::path& file, HistoryOptions options, RunPaneSink sink) {
    if (m_started.load()) return;
    {
        std::lock_guard hold(m_sinkMutex);
        m_sink = std::move(sink);
    }
    m_file = file;
    m_options = std::move(options);
    m_lastRetain = m_options.clock();
    Push(MonitorMark{m_lastRetain, true});
    m_writer = std::thread([this] { Run(); });
    m_started.store(true, std::memory_order_release);
}

void HistoryStore::Attached(const RunPaneSink& runPane) {
    std::lock_guard hold(m_sinkMutex);
    m_offered = runPane;
}

void HistoryStore::AlarmRaised(const AlarmEvent& event) {
    if (!m_started.load(std::memory_order_acquire)) return;
    Push(AlarmRow{event.time, "raised", event.serverName, event.url, event.line, event.category,
                  event.soundFlag, event.sounding});
}

void HistoryStore::AlarmSilenced() {
    if (!m_started.load(std::memory_order_acquire)) return;
    Push(AlarmRow{m_options.clock(), "silenced", {}, {}, {}, {}, false, false});
}

void HistoryStore::AllClear() {
    if (!m_started.load(std::memory_order_acquire)) return;
    Push(AlarmRow{m_options.clock(), "all-clear", {}, {}, {}, {}, false, false});
}

void HistoryStore::AlarmPaneCleared() {
    if (!m_started.load(std::memory_order_acquire)) return;
    Push(AlarmRow{m_options.clock(), "pane-cleared", {}, {}, {}, {}, false, false});
}

void HistoryStore::Acknowledgement(const std::string& name, const std::string& url, bool acknowledged,
                                   const std::string& who, TimePoint time) {
    if (!m_started.load(std::memory_order_acquire)) return;
    Push(AlarmRow{
        time, acknowledged ? "acknowledged" : "acknowledgement-ended", name, url, who, {}, false, false});
}

void HistoryStore::EntryPolled(const EntryResult& result) {
    if (!m_started.load(std::memory_order_acquire)) return;
    EntryRow row{m_options.clock(), result.name,
                 result.url,        result.paused,
                 result.normal,     std::chrono::duration_cast<std::chrono::microseconds>(result.queryTime),
                 result.faults};
    std::lock_guard hold(m_mutex);
    // A round that was stopped never ended: what it polled is kept, but tells nothing of deleted entries.
    if (result.position == 0 && !m_round.entries.empty()) {
        if (m_queue.size() < m_options.queueLimit) {
            m_queue.push_back(std::move(m_round));
            m_wake.notify_one();
        } else {
            ++m_dropped;
        }
        m_round = {};
    }
    m_round.entries.push_back(std::move(row));
}

void HistoryStore::RoundEnded(std::size_t) {
    if (!m_started.load(std::memory_order_acquire)) return;
    const TimePoint end = m_options.clock();
    std::lock_guard hold(m_mutex);
    RoundBatch round = std::exchange(m_round, {});
    round.complete = true;
    round.end = end;
    if (m_queue.size() < m_options.queueLimit) {
        m_queue.push_back(std::move(round));
        m_wake.notify_one();
    } else {
        ++m_dropped;
    }
}

void HistoryStore::Push(HistoryItem item) {
    std::lock_guard hold(m_mutex);
    if (m_queue.size() >= m_options.queueLimit) {
        ++m_dropped;
        return;
    }
    m_queue.push_back(std::move(item));
    m_wake.notify_one();
}

void HistoryStore::Flush() {
    if (!m_started.load()) return;
    std::unique_lock hold(m_mutex);
    m_idle.wait(hold, [this] { return m_stop || (m_queue.empty() && !m_writing && !m_retainDue); });
}

void HistoryStore::Run() {
    OpenDatabase();
    while (true) {
        std::deque<HistoryItem> items;
        bool retain = false;
        {
            std::unique_lock hold(m_mutex);
            m_wake.wait(hold, [this] { return m_stop || !m_queue.empty() || m_retainDue; });
            if (m_stop && m_queue.empty()) break;
            items.swap(m_queue);
            retain = items.empty() && m_retainDue;
            m_writing = true;
        }
        for (const HistoryItem& item : items) WriteOne(item);
        if (retain) Retain();
        if (const std::uint64_t dropped = m_dropped.load(); dropped > 0 && m_droppedSaid == 0) {
            m_droppedSaid = dropped;
            Say("the history falls behind: rounds are not recorded while the database is slow");
        }
        const bool hourPassed = m_options.clock() - m_lastRetain >= std::chrono::hours(1);
        {
            std::lock_guard hold(m_mutex);
            if (hourPassed) m_retainDue = true;
            m_writing = false;
            if (m_queue.empty() && !m_retainDue) m_idle.notify_all();
        }
    }
    std::lock_guard hold(m_mutex);
    m_writing = false;
    m_idle.notify_all();
}

void HistoryStore::OpenDatabase() {
    if (m_off || m_db) return;
    std::error_code error;
    const auto status = std::filesystem::status(m_file, error);
    if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        Say(m_file.filename().string() + " is " + KindOf(status.type()) +
            ", not a regular file; the history is not recorded");
        m_off = true;
        return;
    }
    try {
        m_db = std::make_unique<HistoryDatabase>(m_file, &m_giveUp);
    } catch (const sql::Error& failure) {
        Failed(failure, true);
    } catch (const std::exception& failure) {
        Say(m_file.filename().string() + " cannot be used: " + failure.what() +
            "; the history is not recorded");
        m_off = true;
    }
}

void HistoryStore::WriteOne(const HistoryItem& item) {
    OpenDatabase();
    if (!m_db) return;
    try {
        m_db->Write(std::span(&item, 1));
    } catch (const sql::Error& failure) {
        Failed(failure, false);
    }
}

void HistoryStore::Retain() {
    const TimePoint now = m_options.clock();
    bool more = false;
    if (m_db) {
        try {
            more = m_db->RetainStep(now, m_options.keepDays);
        } catch (const sql::Error& failure) {
            Failed(failure, false);
        }
    }
    std::lock_guard hold(m_mutex);
    m_retainDue = more;
    if (!more) m_lastRetain = now;
}

void HistoryStore::Failed(const std::exception& error, bool atOpen) {
    const auto* failure = dynamic_cast<const sql::Error*>(&error);
    const int code = failure != nullptr ? failure->Primary() : SQLITE_ERROR;
    if (failure != nullptr && failure->Corrupt()) {
        MoveAsideAndRestart();
        return;
    }
    // A file that cannot be opened is tried again with the next round, silently.
    if (atOpen) m_db.reset();
    const std::string name = m_file.filename().string();
    std::string kind;
    std::string line;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
        kind = "locked";
        line = name + " is locked by another program; rounds are not recorded while it is";
    } else if (code == SQLITE_FULL) {
        kind = "full";
        line = "the disk holding " + name + " is full; rounds are not recorded until there is room";
    } else {
        kind = "unwritable";
        line = m_file.string() + " cannot be written (" + error.what() + "); rounds are not recorded";
    }
    if (m_said.insert(kind).second) Say(line);
}

void HistoryStore::MoveAsideAndRestart() {
    m_db.reset();
    const std::string name = m_file.filename().string();
    if (m_said.contains("corrupt-again")) {
        m_off = true;
        return;
    }
    const std::string stamp = FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S");
    std::filesystem::path aside = WithSuffix(m_file, ".corrupt-" + stamp);
    for (int n = 1; std::filesystem::exists(aside); ++n)
        aside = WithSuffix(m_file, ".corrupt-" + stamp + "-" + std::to_string(n));
    std::error_code error;
    std::filesystem::rename(m_file, aside, error);
    if (error) {
        Say(name + " is damaged and cannot be moved aside (" + error.message() +
            "); the history is not recorded");
        m_off = true;
        return;
    }
    std::error_code ignored;
    if (std::filesystem::exists(WithSuffix(m_file, "-wal"), ignored))
        std::filesystem::rename(WithSuffix(m_file, "-wal"), WithSuffix(aside, "-wal"), ignored);
    std::filesystem::remove(WithSuffix(m_file, "-shm"), ignored);
    m_said.insert(m_said.contains("corrupt") ? "corrupt-again" : "corrupt");
    Say(name + " was damaged; it is kept as " + aside.filename().string() + " and a new history is started");
    OpenDatabase();
}

void HistoryStore::Say(const std::string& utf8) {
    RunPaneSink sink;
    {
        std::lock_guard hold(m_sinkMutex);
        sink = m_sink ? m_sink : m_offered;
    }
    const std::string line =
        "<" + FormatLocalTime(std::time(nullptr), kPaneTimeFormat) + "> " + gbk::FromUtf8("history: " + utf8);
    if (sink)
        sink(line);
    else
        std::fprintf(stderr, "tessiv: history: %s\n", utf8.c_str());
}

}  // namespace history
