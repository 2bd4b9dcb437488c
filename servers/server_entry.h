#pragma once

#include <string>
#include <string_view>

// A server entry is one line of Setting.ini: name "," status-URL "@" flag, with flag "1" (enabled) or
// "0" (paused). The format has no escapes; the add dialog refuses input that would break it.
namespace entry {

inline constexpr std::string_view kUrlPrefix = "http://";
inline constexpr std::string_view kUrlSuffix = ":89/Interface/tarv/tarvAction_appreg.action";
inline constexpr std::string_view kEnabledFlag = "1";
inline constexpr std::string_view kPausedFlag = "0";

// Longest line a reader is expected to keep; a built entry never exceeds it.
inline constexpr std::size_t kMaxEntryBytes = 255;
// Bytes a built entry adds to name and IP: "," + prefix + suffix + "@1".
inline constexpr std::size_t kFixedBytes = 1 + kUrlPrefix.size() + kUrlSuffix.size() + 2;

std::string Build(std::string_view name, std::string_view ip);

// The entry with its flag replaced: the text before its first "@" (all of it without one) + "@" + flag.
std::string WithFlag(const std::string& entry, std::string_view flag);

// The entry as the poll round reads it: untrimmed pieces, any-of split.
struct PollView {
    std::string name;
    std::string url;
    std::string flag;
    bool paused() const { return flag == kPausedFlag; }
};
PollView ForPolling(const std::string& entry);

// The entry as the server list shows it: trimmed pieces, delimiters matched whole.
struct DisplayView {
    std::string name;
    std::string address;
    std::string flag;
    bool running() const { return flag == kEnabledFlag; }
};
std::string DisplayName(const std::string& entry);
DisplayView ForDisplay(const std::string& entry);

}  // namespace entry
