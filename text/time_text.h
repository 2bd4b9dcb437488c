#pragma once

#include <ctime>
#include <functional>
#include <string>

// The clock the whole program reads; tests put a fixed or stepping one in its place.
using Clock = std::function<std::time_t()>;
Clock SystemClock();

// The local time `when` formatted with strftime's `format`; "Invalid DateTime" when it cannot be converted.
std::string FormatLocalTime(std::time_t when, const char* format);

inline constexpr const char* kPaneTimeFormat = "%Y-%m-%d %H:%M:%S";
inline constexpr const char* kReportTimeFormat = "%Y-%m-%d %H:%M:%S.0";
