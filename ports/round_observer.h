#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ports/fault_category.h"

// What a poll round learnt about one server entry.
struct EntryResult {
    std::size_t position = 0;  // 0-based place in the server list
    std::string name;          // GBK
    std::string url;           // GBK
    bool paused = false;
    std::optional<bool> normal;  // nothing: paused, or no report could be read
    std::chrono::duration<double> queryTime{};
    struct Fault {
        std::string line;  // GBK, as in the pane
        FaultCategory category = FaultCategory::Unclassified;
    };
    std::vector<Fault> faults;  // the report's fault lines, alarmed or not, in report order
};

// Told by the poll round on its worker thread as it goes; implementations must return at once.
class RoundObserver {
public:
    virtual ~RoundObserver() = default;
    virtual void EntryPolled(const EntryResult& result) = 0;
    // The round walked every entry (`entries` of them); not called for a round that was stopped.
    virtual void RoundEnded(std::size_t entries) = 0;
};
