#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "ports/round_observer.h"

// A clock the test moves, and the run-pane lines a store gave.
struct StepClock {
    std::atomic<std::int64_t> millis{0};
    history::TimePoint Now() const;
    void Set(history::TimePoint time);
};

struct PaneLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    RunPaneSink Sink();
    std::vector<std::string> Taken();
};

// The store started on `file` with the test's clock and pane.
void StartStore(history::HistoryStore& store, const std::filesystem::path& file, StepClock& clock,
                PaneLines& pane, int keepDays = 400);

EntryResult Normal(std::size_t position, const std::string& name, const std::string& url);
EntryResult Fault(std::size_t position, const std::string& name, const std::string& url,
                  FaultCategory category, const std::string& line);
EntryResult Paused(std::size_t position, const std::string& name, const std::string& url);

// One whole round of `entries` at `time`.
void Round(history::HistoryStore& store, StepClock& clock, history::TimePoint time,
           const std::vector<EntryResult>& entries);

// The history's own minute: a whole minute some days back, so that "the last 7 days" holds it.
history::TimePoint MinuteDaysAgo(int days);

std::int64_t CountRows(const std::filesystem::path& file, const std::string& table);
