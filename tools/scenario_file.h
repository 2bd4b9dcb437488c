#pragma once

#include <ctime>
#include <filesystem>
#include <string_view>
#include <vector>

#include "tools/status_host.h"

// The scenario file of tessiv-testhost: UTF-8, one directive a line. Also printed by --help.
inline constexpr const char* kScenarioFormatHelp =
    "  # comment              blank lines and lines starting with '#' are ignored\n"
    "  status CODE            HTTP status, default 200\n"
    "  delay MS               wait MS milliseconds before answering\n"
    "  hang                   never answer (the request ends when the host stops)\n"
    "  redirect URL           answer 302 with Location: URL\n"
    "  body TEXT              serve TEXT (in GBK) instead of the status report\n"
    "  app NAME | TIME        one application; the last '|' separates NAME from TIME, both may hold\n"
    "                         spaces and Chinese; TIME \"now\", \"now-SECONDS\" or \"now+SECONDS\" is the\n"
    "                         host's clock in report format (2024-05-01 08:30:00.0)\n"
    "  ---                    starts another scenario; successive requests take the scenarios in turn\n";

// The scenarios of a file's text, at least one. Throws std::invalid_argument naming the line on a bad
// directive. `now` stands for "now" in application times.
std::vector<Scenario> ParseScenarios(std::string_view text, std::time_t now);

// The scenario for the `request`-th request (0-based), read afresh from `file`. An unreadable or bad file
// gives status 500 with the reason as body.
Scenario ScenarioFromFile(const std::filesystem::path& file, int request, std::time_t now);
