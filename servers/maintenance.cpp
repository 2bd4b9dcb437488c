#include "servers/maintenance.h"

#include <cstdio>
#include <utility>

#include "servers/next_token.h"
#include "text/gbk.h"
#include "text/time_text.h"

namespace {

constexpr const char* kShortTimeFormat = "%Y-%m-%d %H:%M";

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
    for (const auto& [key, end] : m_ends) content += key + "=" + IsoLocalTime(end) + "\r\n";
    return SaveFileContent(m_file, content);
}

std::string MaintenanceKey(const std::string& entry) {
    std::string rest = entry;
    return NextToken(rest, "@");
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
