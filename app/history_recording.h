#pragma once

#include <filesystem>

namespace history {
class HistoryStore;
}

// Starts recording the history into `logDir`/history.sqlite, unless tessiv.conf in `dataDir` turns it off
// ([history] enabled = false) or has a problem there (which the additions already report). Returns the
// database file when the history is kept, empty otherwise.
std::filesystem::path StartHistory(history::HistoryStore& store, const std::filesystem::path& dataDir,
                                   const std::filesystem::path& logDir);
