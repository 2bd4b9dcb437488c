#include "text/time_text.h"

Clock SystemClock() {
    return [] { return std::time(nullptr); };
}

std::string FormatLocalTime(std::time_t when, const char* format) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return "Invalid DateTime";
    char buffer[128];
    std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    if (length == 0) return "Invalid DateTime";
    return std::string(buffer, length);
}
