#include "integrations/notice.h"

#include <cstdio>
#include <ctime>

#include <QString>

#include "monitor/alarm_observer.h"
#include "text/gbk.h"

std::string Utf8FromGbk(std::string_view gbkText) {
    return gbk::ToQString(gbkText).toStdString();
}

std::string IsoLocalTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return {};
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return {};
    std::string iso(text);
    // strftime gives +0800; ISO 8601's extended form, which the date is in, wants +08:00.
    if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");
    return iso;
}

Notice AlarmNotice(const AlarmEvent& event) {
    const char* category = FaultCategoryName(event.category);
    return Notice{Utf8FromGbk(event.serverName), Utf8FromGbk(event.line),
                  *category != '\0' ? category : "other", event.soundFlag, IsoLocalTime(event.time)};
}

Notice ClearNotice(std::chrono::system_clock::time_point when) {
    return Notice{{}, {}, "clear", false, IsoLocalTime(when)};
}

std::string JsonString(std::string_view utf8) {
    std::string json = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

std::string NoticeJson(const Notice& notice) {
    if (notice.category == "clear")
        return "{\"category\":\"clear\",\"time\":" + JsonString(notice.time) + "}";
    return "{\"server\":" + JsonString(notice.server) + ",\"line\":" + JsonString(notice.line) +
           ",\"category\":" + JsonString(notice.category) +
           ",\"sound\":" + (notice.sound ? "true" : "false") + ",\"time\":" + JsonString(notice.time) + "}";
}

std::vector<std::string> NoticeEnvironment(const Notice& notice) {
    return {"TESSIV_SERVER=" + notice.server, "TESSIV_LINE=" + notice.line,
            "TESSIV_CATEGORY=" + notice.category, std::string("TESSIV_SOUND=") + (notice.sound ? "1" : "0"),
            "TESSIV_TIME=" + notice.time};
}
