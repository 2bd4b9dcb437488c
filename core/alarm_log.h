#pragma once

#include <filesystem>
#include <string_view>

inline constexpr const char* kAlarmLogFileName = "log.txt";

// Appends one alarm record to log.txt: the line and CR LF, then "alarm sound ..." and CR LF when the alarm
// was entitled to sound. The file is created when missing and never truncated. Returns false when the record
// could not be written; nobody is told, the alarm itself has already been shown.
bool AppendAlarmRecord(const std::filesystem::path& file, std::string_view line, bool soundFlag);
