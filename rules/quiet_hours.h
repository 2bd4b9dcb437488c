#pragma once

#include <ctime>

// A daily span of local time, [start, end) in minutes of the day; it crosses midnight when end < start.
struct QuietHours {
    int start = 0;
    int end = 0;
    bool Contains(std::time_t when) const;
};
