#pragma once

#include <string>

#include "ports/fault_category.h"

// What the analysis knows of a fault line's entry when it raises the alarm: carried with the line, so nobody
// has to find the entry again from the line's display number (the list may have changed meanwhile).
struct AlarmFacts {
    std::string serverName;  // GBK, as the entry was polled
    std::string url;         // GBK
    FaultCategory category = FaultCategory::Unclassified;
};
