#include "app/history_recording.h"

#include "history/history_store.h"
#include "integrations/config.h"

std::filesystem::path StartHistory(history::HistoryStore& store, const std::filesystem::path& dataDir,
                                   const std::filesystem::path& logDir) {
    const IntegrationsConfig config = ReadIntegrationsConfig(dataDir);
    if (!config.history.enabled) return {};
    history::HistoryOptions options;
    options.keepDays = config.history.keepDays;
    const std::filesystem::path file = logDir / history::kHistoryFileName;
    store.Start(file, std::move(options));
    return file;
}
