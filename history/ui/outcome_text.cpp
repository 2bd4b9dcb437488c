#include "history/ui/outcome_text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "history/outcome_codes.h"

namespace history_text {

using history::Outcome;

QString OutcomeName(Outcome outcome) {
    const std::string_view words = history::OutcomeWords(outcome);
    return QString::fromUtf8(words.data(), static_cast<qsizetype>(words.size()));
}

QColor OutcomeColor(Outcome outcome) {
    switch (outcome) {
        case Outcome::NoData:
            return {0xe0, 0xe0, 0xe0};
        case Outcome::Normal:
            return {0x43, 0xa0, 0x47};
        case Outcome::Connection:
            return {0x75, 0x75, 0x75};
        case Outcome::ServerFault:
            return {0xe5, 0x39, 0x35};
        case Outcome::DiskSpace:
            return {0xfb, 0x8c, 0x00};
        case Outcome::DbLog:
            return {0xfd, 0xd8, 0x35};
        case Outcome::Security:
            return {0x8e, 0x24, 0xaa};
        case Outcome::Unclassified:
            return {0xd8, 0x1b, 0x60};
        case Outcome::BrokeOff:
            return {0xb0, 0xbe, 0xc5};
    }
    return Qt::white;
}

QString Duration(std::chrono::seconds duration) {
    const long long total = std::max<long long>(0, duration.count());
    const long long days = total / 86400;
    const long long hours = total % 86400 / 3600;
    const long long minutes = total % 3600 / 60;
    const long long seconds = total % 60;
    // Two units are enough to compare outages at a glance.
    if (days > 0) return QString::fromUtf8("%1 天 %2 小时").arg(days).arg(hours);
    if (hours > 0) return QString::fromUtf8("%1 小时 %2 分").arg(hours).arg(minutes);
    if (minutes > 0) return QString::fromUtf8("%1 分 %2 秒").arg(minutes).arg(seconds);
    return QString::fromUtf8("%1 秒").arg(seconds);
}

namespace {

std::tm LocalParts(history::TimePoint when) {
    const std::time_t time = history::Clock::to_time_t(when);
    std::tm parts{};
    localtime_r(&time, &parts);
    return parts;
}

}  // namespace

QString LocalTime(history::TimePoint when) {
    const std::tm parts = LocalParts(when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return QString::fromLatin1(text);
}

}  // namespace history_text
