#include "desktop/outage_since.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <QDateTime>

#include "text/gbk.h"

namespace {

QDateTime Local(std::chrono::system_clock::time_point when) {
    return QDateTime::fromSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count());
}

}  // namespace

QStringList SinceLines(const std::optional<OutageStarts>& starts, const std::string& alarmedServer,
                       std::chrono::system_clock::time_point alarmed,
                       std::chrono::system_clock::time_point now) {
    if (!starts) return {};
    OutageStarts all = *starts;
    if (!alarmedServer.empty()) all.emplace(alarmedServer, alarmed);
    std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> ordered;
    for (const auto& [name, start] : all) ordered.emplace_back(start, name);
    std::ranges::sort(ordered);
    const QDate today = Local(now).date();
    QStringList lines;
    for (const auto& [start, name] : ordered) {
        const QDateTime local = Local(start);
        const QString when =
            local.toString(local.date() == today ? QStringLiteral("HH:mm") : QStringLiteral("MM-dd HH:mm"));
        lines << QString::fromUtf8("%1 自 %2 起异常").arg(gbk::ToQString(name), when);
    }
    return lines;
}
