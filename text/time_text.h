#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The clock the whole program reads; tests put a fixed or stepping one in its place.
using Clock = std::function<std::time_t()>;
Clock SystemClock();

// The local time `when` formatted with strftime's `format`; "Invalid DateTime" when it cannot be converted.
std::string FormatLocalTime(std::time_t when, const char* format);

inline constexpr const char* kPaneTimeFormat = "%Y-%m-%d %H:%M:%S";
inline constexpr const char* kReportTimeFormat = "%Y-%m-%d %H:%M:%S.0";

// 2026-12-09T08:00:00+08:00: ISO 8601 in local time with its UTC offset, as every file and message of the
// program that names a time for another program writes it; empty when the time cannot be converted.
std::string IsoLocalTime(std::time_t when);
std::string IsoLocalTime(std::chrono::system_clock::time_point when);
// Such a text (or one ending in Z) back; nothing for a text that is not such a time.
std::optional<std::time_t> ParseIsoTime(std::string_view text);
