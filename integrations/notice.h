#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

struct AlarmEvent;

// One alarm or all-clear as the hook command and the webhook receive it; every text is UTF-8.
struct Notice {
    std::string server;
    std::string line;
    // connection, server, disk, dblog, security, other; "clear", "escalation", "recovered"
    std::string category;
    bool sound = false;
    std::string time;  // ISO 8601 with the local offset
};

Notice AlarmNotice(const AlarmEvent& event);
Notice ClearNotice(std::chrono::system_clock::time_point when);
// An alarm still sounding long after it began: the lines still in fault (GBK), one per line of `line`.
Notice EscalationNotice(const std::vector<std::string>& gbkLines, std::chrono::system_clock::time_point when);
// A host (UTF-8) that alarmed is normal again; `line` says for how long it was not.
Notice RecoveredNotice(const std::string& server, const std::string& line,
                       std::chrono::system_clock::time_point when);

// The webhook's body: {"server":…,"line":…,"category":…,"sound":…,"time":…}; the all-clear carries only
// category and time.
std::string NoticeJson(const Notice& notice);

// The hook command's additions to its environment, as "NAME=value".
std::vector<std::string> NoticeEnvironment(const Notice& notice);

std::string Utf8FromGbk(std::string_view gbkText);
