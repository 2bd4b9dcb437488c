#pragma once

#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "servers/setting_file.h"

// Entries paused for maintenance and when each maintenance ends, kept beside Setting.ini so that Setting.ini
// keeps its format: one line per entry, "name,url=end", the end in ISO 8601 local time with its UTC offset
// (2026-12-09T08:00:00+08:00), GBK, CR LF. The file exists only while some maintenance is set. An entry is
// known by its name and URL, whatever its flag. Used on the core's thread only.
inline constexpr const char* kMaintenanceFileName = "maintenance.ini";

class Maintenance {
public:
    explicit Maintenance(std::filesystem::path file);

    const std::filesystem::path& File() const { return m_file; }
    // Reads the file as it is; a line that cannot be read is dropped.
    void Load();
    // When the entry's maintenance ends; nothing when it has none.
    std::optional<std::time_t> EndOf(const std::string& entry) const;
    // Sets (or moves) the entry's end and saves.
    SaveResult Start(const std::string& entry, std::time_t end);
    // Drops these entries' maintenance and saves; writes nothing when none of them had one.
    SaveResult End(const std::vector<std::string>& entries);
    // The keys (see MaintenanceKey) of every maintenance that has ended by `now`.
    std::vector<std::string> EndedBy(std::time_t now) const;

private:
    SaveResult Save() const;

    std::filesystem::path m_file;
    std::map<std::string, std::time_t> m_ends;
};

// The entry without its flag: "name,url".
std::string MaintenanceKey(const std::string& entry);

// 08:00 local time on the day after `now`.
std::time_t NextMorning(std::time_t now);

// GBK run-pane lines: "<time> NAME 开始维护，至 2026-12-09 08:00" and "<time> NAME 维护结束，已恢复监控".
std::string MaintenanceStartedLine(const std::string& name, std::time_t end, std::time_t now);
std::string MaintenanceEndedLine(const std::string& name, std::time_t now);
// "维护至 2026-12-09 08:00", UTF-8, for the server list.
std::string MaintenanceUntilText(std::time_t end);
