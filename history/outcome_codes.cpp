#include "history/outcome_codes.h"

#include <array>

namespace history {

namespace {

// Index: the stored code.
constexpr std::array kByCode{Outcome::NoData,       Outcome::Normal,      Outcome::BrokeOff,
                             Outcome::Unclassified, Outcome::Security,    Outcome::DbLog,
                             Outcome::DiskSpace,    Outcome::ServerFault, Outcome::Connection};

}  // namespace

std::int64_t OutcomeCode(Outcome outcome) {
    for (std::size_t code = 0; code < kByCode.size(); ++code)
        if (kByCode[code] == outcome) return static_cast<std::int64_t>(code);
    return 0;
}

Outcome OutcomeFromCode(std::int64_t code) {
    if (code < 0 || code >= static_cast<std::int64_t>(kByCode.size())) return Outcome::NoData;
    return kByCode[static_cast<std::size_t>(code)];
}

Outcome OutcomeOf(FaultCategory category) {
    switch (category) {
        case FaultCategory::Connection:
            return Outcome::Connection;
        case FaultCategory::ServerFault:
            return Outcome::ServerFault;
        case FaultCategory::DiskSpace:
            return Outcome::DiskSpace;
        case FaultCategory::DbLog:
            return Outcome::DbLog;
        case FaultCategory::Security:
            return Outcome::Security;
        case FaultCategory::Unclassified:
            break;
    }
    return Outcome::Unclassified;
}

std::string_view OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::NoData:
            return "no-data";
        case Outcome::Normal:
            return "normal";
        case Outcome::Connection:
            return "connection";
        case Outcome::ServerFault:
            return "server";
        case Outcome::DiskSpace:
            return "disk";
        case Outcome::DbLog:
            return "dblog";
        case Outcome::Security:
            return "security";
        case Outcome::Unclassified:
            return "unclassified";
        case Outcome::BrokeOff:
            return "broke-off";
    }
    return "unclassified";
}

std::string_view OutcomeWords(Outcome outcome) {
    switch (outcome) {
        case Outcome::NoData:
            return "无数据";
        case Outcome::Normal:
            return "正常";
        case Outcome::Connection:
            return "连接异常";
        case Outcome::ServerFault:
            return "Quarlex异常";
        case Outcome::DiskSpace:
            return "空间不足";
        case Outcome::DbLog:
            return "日志需要清理";
        case Outcome::Security:
            return "安全异常";
        case Outcome::Unclassified:
            return "其他异常";
        case Outcome::BrokeOff:
            return "轮询中断";
    }
    return "其他异常";
}

}  // namespace history
