#include "text/time_text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

namespace {

// Digits at `at` of exactly `count` characters.
std::optional<int> Number(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    const char* first = text.data() + at;
    const char* last = first + count;
    auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || *first == '-' || *first == '+') return std::nullopt;
    return value;
}

}  // namespace

Clock SystemClock() {
    return [] { return std::time(nullptr); };
}

std::string FormatLocalTime(std::time_t when, const char* format) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return "Invalid DateTime";
    char buffer[128];
    std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    if (length == 0) return "Invalid DateTime";
    return std::string(buffer, length);
}

std::string IsoLocalTime(std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return {};
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[40];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return std::string(text, length) + zone;
}

std::optional<std::time_t> ParseIsoTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS then Z or +HH:MM / -HH:MM.
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':')
        return std::nullopt;
    const auto year = Number(text, 0, 4), month = Number(text, 5, 2), day = Number(text, 8, 2);
    const auto hour = Number(text, 11, 2), minute = Number(text, 14, 2), second = Number(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    long offset = 0;
    const std::string_view zone = text.substr(19);
    if (zone != "Z") {
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
        const auto zoneHours = Number(zone, 1, 2), zoneMinutes = Number(zone, 4, 2);
        if (!zoneHours || !zoneMinutes) return std::nullopt;
        offset = (*zoneHours * 60L + *zoneMinutes) * 60L * (zone[0] == '-' ? -1 : 1);
    }
    std::tm fields{};
    fields.tm_year = *year - 1900;
    fields.tm_mon = *month - 1;
    fields.tm_mday = *day;
    fields.tm_hour = *hour;
    fields.tm_min = *minute;
    fields.tm_sec = *second;
    errno = 0;
    const std::time_t utc = timegm(&fields);
    if (utc == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
    // timegm carries 2026-02-30 over into March; such a date is not a time of ours.
    if (fields.tm_mon != *month - 1 || fields.tm_mday != *day || fields.tm_hour != *hour) return std::nullopt;
    return utc - offset;
}

std::string IsoLocalTime(std::chrono::system_clock::time_point when) {
    return IsoLocalTime(std::chrono::system_clock::to_time_t(when));
}
