#include "servers/maintenance.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <utility>

#include "servers/next_token.h"
#include "text/gbk.h"
#include "text/time_text.h"

namespace {

constexpr const char* kShortTimeFormat = "%Y-%m-%d %H:%M";

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

std::string PaneTime(std::time_t now) {
    return "<" + FormatLocalTime(now, kPaneTimeFormat) + "> ";
}

}  // namespace

Maintenance::Maintenance(std::filesystem::path file) : m_file(std::move(file)) {}

void Maintenance::Load() {
    m_ends.clear();
    std::optional<FileVersion> version = ReadRegularFile(m_file);
    if (!version) return;
    for (const std::string& line : SplitEntries(version->content)) {
        // A URL may hold "=", the time never does.
        const std::size_t equals = line.rfind('=');
        if (equals == std::string::npos || equals == 0) continue;
        std::optional<std::time_t> end = ParseIsoTime(std::string_view(line).substr(equals + 1));
        if (end) m_ends[line.substr(0, equals)] = *end;
    }
}

std::optional<std::time_t> Maintenance::EndOf(const std::string& entry) const {
    auto found = m_ends.find(MaintenanceKey(entry));
    if (found == m_ends.end()) return std::nullopt;
    return found->second;
}

SaveResult Maintenance::Start(const std::string& entry, std::time_t end) {
    m_ends[MaintenanceKey(entry)] = end;
    return Save();
}

SaveResult Maintenance::End(const std::vector<std::string>& entries) {
    std::size_t dropped = 0;
    for (const std::string& entry : entries) dropped += m_ends.erase(MaintenanceKey(entry));
    if (dropped == 0) return {};
    return Save();
}

std::vector<std::string> Maintenance::EndedBy(std::time_t now) const {
    std::vector<std::string> ended;
    for (const auto& [key, end] : m_ends)
        if (end <= now) ended.push_back(key);
    return ended;
}

SaveResult Maintenance::Save() const {
    if (m_ends.empty()) {
        // No maintenance, no file: a folder without any looks as it did before maintenance existed.
        std::error_code error;
        std::filesystem::remove(m_file, error);
        if (error) return SaveResult{error.value(), "removing the file"};
        return {};
    }
    std::string content;
    for (const auto& [key, end] : m_ends) content += key + "=" + FormatIsoTime(end) + "\r\n";
    return SaveFileContent(m_file, content);
}

std::string MaintenanceKey(const std::string& entry) {
    std::string rest = entry;
    return NextToken(rest, "@");
}

std::string FormatIsoTime(std::time_t when) {
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

std::time_t NextMorning(std::time_t now) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return now + 24 * 60 * 60;
    local.tm_mday += 1;
    local.tm_hour = 8;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;  // whatever daylight saving time says on that day
    return std::mktime(&local);
}

std::string MaintenanceStartedLine(const std::string& name, std::time_t end, std::time_t now) {
    return PaneTime(now) + name + " " + gbk::FromUtf8("开始维护，至 ") +
           FormatLocalTime(end, kShortTimeFormat);
}

std::string MaintenanceEndedLine(const std::string& name, std::time_t now) {
    return PaneTime(now) + name + " " + gbk::FromUtf8("维护结束，已恢复监控");
}

std::string MaintenanceUntilText(std::time_t end) {
    return "维护至 " + FormatLocalTime(end, kShortTimeFormat);
}
