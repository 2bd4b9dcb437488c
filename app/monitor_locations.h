#pragma once

#include <filesystem>
#include <string>

#include "core/monitor_settings.h"

// Where this start keeps Setting.ini, tessiv.conf, log.txt and the history: `dataDir` when given (it must be
// an existing folder; `error` says why not), else beside the executable, or in the user's folders for an
// installed Tessiv.
MonitorSettings MonitorLocations(const std::filesystem::path& dataDir, std::string& error);
