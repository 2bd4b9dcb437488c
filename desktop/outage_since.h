#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <QStringList>

#include "desktop/window_hooks.h"

// "Center-A 自 03:12 起异常" for each host in an outage, oldest first; the day too when it is not today. The
// alarm just raised may be newer than what the history has written: its host counts from `alarmed` then.
QStringList SinceLines(const std::optional<OutageStarts>& starts, const std::string& alarmedServer,
                       std::chrono::system_clock::time_point alarmed,
                       std::chrono::system_clock::time_point now);
