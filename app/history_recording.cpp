#include "app/history_recording.h"

#include "history/history_config.h"
#include "history/history_store.h"

std::filesystem::path StartHistory(history::HistoryStore& store, const HistoryConfig& wanted,
                                   const std::filesystem::path& logDir) {
    if (!wanted.enabled) return {};
    history::HistoryOptions options;
    options.keepDays = wanted.keepDays;
    const std::filesystem::path file = logDir / history::kHistoryFileName;
    store.Start(file, std::move(options));
    return file;
}
