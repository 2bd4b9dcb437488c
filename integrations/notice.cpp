#include "integrations/notice.h"

#include <ctime>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "ports/alarm_observer.h"
#include "text/gbk.h"
#include "text/time_text.h"

std::string Utf8FromGbk(std::string_view gbkText) {
    return gbk::ToQString(gbkText).toStdString();
}

Notice AlarmNotice(const AlarmEvent& event) {
    const char* category = FaultCategoryName(event.category);
    return Notice{Utf8FromGbk(event.serverName), Utf8FromGbk(event.line),
                  *category != '\0' ? category : "other", event.soundFlag, IsoLocalTime(event.time)};
}

Notice ClearNotice(std::chrono::system_clock::time_point when) {
    return Notice{{}, {}, "clear", false, IsoLocalTime(when)};
}

Notice EscalationNotice(const std::vector<std::string>& gbkLines,
                        std::chrono::system_clock::time_point when) {
    std::string lines;
    for (const std::string& line : gbkLines) lines += (lines.empty() ? "" : "\n") + Utf8FromGbk(line);
    return Notice{{}, lines, "escalation", true, IsoLocalTime(when)};
}

Notice RecoveredNotice(const std::string& server, const std::string& line,
                       std::chrono::system_clock::time_point when) {
    return Notice{server, line, "recovered", false, IsoLocalTime(when)};
}

std::string NoticeJson(const Notice& notice) {
    QJsonObject json{{QStringLiteral("category"), QString::fromStdString(notice.category)},
                     {QStringLiteral("time"), QString::fromStdString(notice.time)}};
    if (notice.category != "clear") {
        json.insert(QStringLiteral("server"), QString::fromStdString(notice.server));
        json.insert(QStringLiteral("line"), QString::fromStdString(notice.line));
        json.insert(QStringLiteral("sound"), notice.sound);
    }
    return QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
}

std::vector<std::string> NoticeEnvironment(const Notice& notice) {
    return {"TESSIV_SERVER=" + notice.server, "TESSIV_LINE=" + notice.line,
            "TESSIV_CATEGORY=" + notice.category, std::string("TESSIV_SOUND=") + (notice.sound ? "1" : "0"),
            "TESSIV_TIME=" + notice.time};
}
