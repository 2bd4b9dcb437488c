#pragma once

#include <string>

#include "text/time_text.h"

class MonitorPort;

// Turns one host's status report into pane lines and alarms. Returns true for a normal report (no "msg", or
// no "appname"), false when the report names applications. Every line is followed by a refresh.
bool AnalyzeStatusReport(std::string report, const std::string& serverName, int displayNumber,
                         bool previousWasTrue, MonitorPort& port, const Clock& clock);
