#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What the channels send: a fixed title as the first line (a robot's keyword rule can name "Tessiv"), then
// the hosts, their fault lines, the time and since when each host is in fault. All UTF-8; every text from a
// host goes through SafeText.
struct ChannelMessage {
    std::string title;  // 【Tessiv】服务器异常
    std::string body;   // the lines after the title
};

using TimePoint = std::chrono::system_clock::time_point;

// One host's alarm lines of a round.
struct HostAlarm {
    std::string server;  // UTF-8; empty when the line's host is not known
    std::vector<std::string> lines;
    TimePoint since;  // the first round of its outage
};

// One host normal again after an outage in which it alarmed.
struct HostRecovery {
    std::string server;  // UTF-8
    TimePoint since;
    TimePoint until;
};

inline constexpr const char* kMessageAlarmTitle = "【Tessiv】服务器异常";
inline constexpr const char* kMessageRecoveredTitle = "【Tessiv】服务器已恢复";
inline constexpr const char* kMessageClearTitle = "【Tessiv】恢复正常";
inline constexpr const char* kMessageEscalationTitle = "【Tessiv】报警无人处理";
inline constexpr const char* kMessageNetworkTitle = "【Tessiv】本机网络异常";
inline constexpr const char* kMessageTestTitle = "【Tessiv】测试消息";
inline constexpr const char* kMessageNetworkDownText = "所有服务器都无法连接，请检查本机网络";

ChannelMessage AlarmMessage(const std::vector<HostAlarm>& hosts, TimePoint when);
ChannelMessage RecoveryMessage(const std::vector<HostRecovery>& hosts, TimePoint when);
ChannelMessage ClearMessage(TimePoint when);
// `lines`: the lines still in fault, UTF-8.
ChannelMessage EscalationMessage(const std::vector<std::string>& lines, TimePoint when);
ChannelMessage NetworkDownMessage(TimePoint when);
ChannelMessage TestMessage(TimePoint when);

// Several waiting messages as one: each one's title and body in turn, a blank line between.
ChannelMessage MergeMessages(const std::vector<ChannelMessage>& messages);
// Title and body as one text, cut to at most `maxBytes` on a character boundary with a note of the cut.
std::string MessageText(const ChannelMessage& message, std::size_t maxBytes);

// `utf8` with every control character (C0, DEL, C1) and line or paragraph separator made visible as \xNN or
// \uNNNN: a host's text never starts a line or forges a part of the message.
std::string SafeText(std::string_view utf8);
// "3 分 12 秒", "2 小时 5 分", "1 天 3 小时"
std::string DurationText(std::chrono::seconds duration);
// "2026-05-01 02:05:11", local time.
std::string LocalTimeText(TimePoint when);
