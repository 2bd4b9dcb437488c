#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ports/alarm_observer.h"

// The run-pane lines something reported from any thread, as UTF-8 text.
class PaneRecorder {
public:
    RunPaneSink Sink();
    std::vector<std::string> Get() const;
    bool Has(const std::string& piece) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
