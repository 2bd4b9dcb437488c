#pragma once

#include <filesystem>

struct HistoryConfig;
namespace history {
class HistoryStore;
}

// Starts recording the history into `logDir`/history.sqlite as tessiv.conf's [history] asks (`wanted`, read
// once with the rest of the file). Returns the database file when the history is kept, empty otherwise.
std::filesystem::path StartHistory(history::HistoryStore& store, const HistoryConfig& wanted,
                                   const std::filesystem::path& logDir);
