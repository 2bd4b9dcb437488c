#pragma once

#include <chrono>
#include <cstddef>

#include "core/monitor_settings.h"

// The longest a monitor may go without a round beginning or ending while it works as it should: the start,
// the wait between rounds, or a round over `entries` hosts that each use the whole query time-out and the
// pause after it, with half of that again and a minute more as margin.
std::chrono::milliseconds LongestRoundGap(std::size_t entries, const MonitorSettings& settings);
