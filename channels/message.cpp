#include "channels/message.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <QString>

#include "text/time_text.h"

namespace {

std::string Hex(const char* format, unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string ServerText(const std::string& server) {
    return server.empty() ? std::string("（未知服务器）") : SafeText(server);
}

// The day too when `since` is not on the day of `when`.
std::string SinceText(TimePoint since, TimePoint when) {
    const std::time_t s = std::chrono::system_clock::to_time_t(since);
    const std::time_t w = std::chrono::system_clock::to_time_t(when);
    const bool sameDay = FormatLocalTime(s, "%Y-%m-%d") == FormatLocalTime(w, "%Y-%m-%d");
    return FormatLocalTime(s, sameDay ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S");
}

std::chrono::seconds Between(TimePoint since, TimePoint until) {
    return std::max(std::chrono::seconds(0), std::chrono::duration_cast<std::chrono::seconds>(until - since));
}

}  // namespace

std::string SafeText(std::string_view utf8) {
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    std::string safe;
    safe.reserve(utf8.size());
    QString plain;
    auto flush = [&] {
        safe += plain.toStdString();
        plain.clear();
    };
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f)) {
            flush();
            safe += Hex("\\x%02x", u);
        } else if (u == 0x2028 || u == 0x2029 || u == 0xfeff) {
            flush();
            safe += Hex("\\u%04x", u);
        } else {
            plain += c;
        }
    }
    flush();
    return safe;
}

std::string DurationText(std::chrono::seconds duration) {
    const long long total = duration.count();
    const long long days = total / 86400, hours = total % 86400 / 3600, minutes = total % 3600 / 60,
                    seconds = total % 60;
    if (days > 0) return std::to_string(days) + " 天 " + std::to_string(hours) + " 小时";
    if (hours > 0) return std::to_string(hours) + " 小时 " + std::to_string(minutes) + " 分";
    if (minutes > 0) return std::to_string(minutes) + " 分 " + std::to_string(seconds) + " 秒";
    return std::to_string(seconds) + " 秒";
}

std::string LocalTimeText(TimePoint when) {
    return FormatLocalTime(std::chrono::system_clock::to_time_t(when), kPaneTimeFormat);
}

ChannelMessage AlarmMessage(const std::vector<HostAlarm>& hosts, TimePoint when) {
    std::string body = "时间：" + LocalTimeText(when) + "\n" + std::to_string(hosts.size()) + " 台服务器异常";
    for (const HostAlarm& host : hosts) {
        body += "\n\n" + ServerText(host.server) + "（自 " + SinceText(host.since, when) + " 起异常）";
        for (const std::string& line : host.lines) body += "\n" + SafeText(line);
    }
    return {kMessageAlarmTitle, body};
}

ChannelMessage RecoveryMessage(const std::vector<HostRecovery>& hosts, TimePoint when) {
    std::string body =
        "时间：" + LocalTimeText(when) + "\n" + std::to_string(hosts.size()) + " 台服务器恢复正常";
    for (const HostRecovery& host : hosts)
        body += "\n" + ServerText(host.server) + " 已恢复，异常持续 " +
                DurationText(Between(host.since, host.until)) + "（自 " + SinceText(host.since, host.until) +
                " 起）";
    return {kMessageRecoveredTitle, body};
}

ChannelMessage ClearMessage(TimePoint when) {
    return {kMessageClearTitle, "时间：" + LocalTimeText(when) + "\n所有服务器均已恢复正常"};
}

ChannelMessage EscalationMessage(const std::vector<std::string>& lines, TimePoint when) {
    std::string body = "时间：" + LocalTimeText(when) + "\n报警开始后一直无人处理，仍异常的行：";
    for (const std::string& line : lines) body += "\n" + SafeText(line);
    return {kMessageEscalationTitle, body};
}

ChannelMessage NetworkDownMessage(TimePoint when) {
    return {kMessageNetworkTitle, "时间：" + LocalTimeText(when) + "\n" + kMessageNetworkDownText};
}

ChannelMessage TestMessage(TimePoint when) {
    return {kMessageTestTitle,
            "时间：" + LocalTimeText(when) + "\n这是 tessiv --test-notify 发出的测试消息，无需处理"};
}

ChannelMessage MergeMessages(const std::vector<ChannelMessage>& messages) {
    if (messages.size() == 1) return messages.front();
    ChannelMessage merged;
    bool sameTitle = true;
    for (const ChannelMessage& message : messages) {
        sameTitle = sameTitle && message.title == messages.front().title;
        merged.body += (merged.body.empty() ? "" : "\n\n") + message.title + "\n" + message.body;
    }
    merged.title = sameTitle && !messages.empty()
                       ? messages.front().title
                       : "【Tessiv】" + std::to_string(messages.size()) + " 条通知";
    if (sameTitle) {
        // The title once, then each body.
        merged.body.clear();
        for (const ChannelMessage& message : messages)
            merged.body += (merged.body.empty() ? "" : "\n\n") + message.body;
    }
    return merged;
}

std::string MessageText(const ChannelMessage& message, std::size_t maxBytes) {
    std::string text = message.title + "\n" + message.body;
    if (text.size() <= maxBytes) return text;
    const std::string note = "\n……（消息过长，其余未显示）";
    std::size_t cut = maxBytes > note.size() ? maxBytes - note.size() : 0;
    // Back to the start of a UTF-8 character, then to the end of a whole line where there is one.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    const std::size_t lineEnd = text.rfind('\n', cut);
    if (lineEnd != std::string::npos && lineEnd > message.title.size()) cut = lineEnd;
    text.resize(cut);
    return text + note;
}
