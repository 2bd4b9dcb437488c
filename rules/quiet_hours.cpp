#include "rules/quiet_hours.h"

bool QuietHours::Contains(std::time_t when) const {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return false;
    const int minute = local.tm_hour * 60 + local.tm_min;
    if (start <= end) return minute >= start && minute < end;
    return minute >= start || minute < end;
}
