#include "tests/history/history_support.h"

#include "history/history_events.h"
#include "history/sqlite_handle.h"

history::TimePoint StepClock::Now() const {
    return history::FromMillis(millis.load());
}

void StepClock::Set(history::TimePoint time) {
    millis = history::Millis(time);
}

RunPaneSink PaneLines::Sink() {
    return [this](std::string line) {
        std::lock_guard hold(mutex);
        lines.push_back(std::move(line));
    };
}

std::vector<std::string> PaneLines::Taken() {
    std::lock_guard hold(mutex);
    return lines;
}

void StartStore(history::HistoryStore& store, const std::filesystem::path& file, StepClock& clock,
                PaneLines& pane, int keepDays) {
    history::HistoryOptions options;
    options.keepDays = keepDays;
    options.clock = [&clock] { return clock.Now(); };
    store.Start(file, std::move(options), pane.Sink());
}

EntryResult Normal(std::size_t position, const std::string& name, const std::string& url) {
    EntryResult result;
    result.position = position;
    result.name = name;
    result.url = url;
    result.normal = true;
    result.queryTime = std::chrono::milliseconds(3);
    return result;
}

EntryResult Fault(std::size_t position, const std::string& name, const std::string& url,
                  FaultCategory category, const std::string& line) {
    EntryResult result = Normal(position, name, url);
    result.normal = false;
    result.faults.push_back({line, category});
    return result;
}

EntryResult Paused(std::size_t position, const std::string& name, const std::string& url) {
    EntryResult result = Normal(position, name, url);
    result.normal.reset();
    result.queryTime = {};
    result.paused = true;
    return result;
}

void Round(history::HistoryStore& store, StepClock& clock, history::TimePoint time,
           const std::vector<EntryResult>& entries) {
    clock.Set(time);
    for (const EntryResult& entry : entries) store.EntryPolled(entry);
    store.RoundEnded(entries.size());
}

history::TimePoint MinuteDaysAgo(int days) {
    const auto now = std::chrono::floor<std::chrono::minutes>(history::Clock::now());
    return now - std::chrono::days(days);
}

std::int64_t CountRows(const std::filesystem::path& file, const std::string& table) {
    history::sql::DatabasePtr db = history::sql::Open(file.string(), SQLITE_OPEN_READONLY);
    history::sql::Statement count(db.get(), "SELECT count(*) FROM " + table);
    return count.Step() ? count.Int(0) : -1;
}
