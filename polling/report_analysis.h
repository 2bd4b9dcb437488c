#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ports/fault_category.h"
#include "ports/round_observer.h"

#include "text/time_text.h"

class MonitorPort;

// The class of a fault line, by the first category text it contains.
FaultCategory ClassifyFaultLine(std::string_view line);

// Turns one host's status report into pane lines and alarms. Returns true for a normal report (no "msg", or
// no "appname"), false when the report names applications. Every line is followed by a refresh.
bool AnalyzeStatusReport(std::string report, const std::string& serverName, int displayNumber,
                         bool previousWasTrue, MonitorPort& port, const Clock& clock);

// The same, for an entry whose URL the alarms carry. Every text taken from the report or the entry reaches
// the port with its control bytes escaped; each fault line, classified once, is also added to
// `faults` when given.
bool AnalyzeStatusReport(std::string report, const std::string& serverName, const std::string& url,
                         int displayNumber, bool previousWasTrue, MonitorPort& port, const Clock& clock,
                         std::vector<EntryResult::Fault>* faults);
