#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "text/time_text.h"

// Bounds of one status query, kept in one place. A host that accepts the connection and never answers
// would otherwise stop the round, and so all monitoring, for ever.
struct QueryLimits {
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{30'000};
    long maxRedirects = 5;
};

struct QueryOptions {
    const std::atomic<bool>* cancel = nullptr;  // set from another thread: the query ends within about 1 s
    Clock clock = SystemClock();                // time of the connection-fault report
    QueryLimits limits;
};

// GETs `url` (http only). Status 200: appends the body's first 1024 bytes, up to its first zero byte, to
// `report` and resets the URL's failure counter. Anything else counts a failure and replaces `report` with
// the connection-fault report. Returns false only when no transfer could be set up or the body read failed.
bool QueryServerStatus(const std::string& url, std::string& report, const QueryOptions& options = {});

// The 153-byte GBK report that stands in for an unreadable host, naming the application "网站".
std::string ConnectionFaultReport(std::time_t when);

// The consecutive failures of `url`; nothing when it never failed.
std::optional<std::uint32_t> FailureCount(const std::string& url);

// How a poll round queries a host; tests put a scripted one in its place.
using StatusQuery = std::function<bool(const std::string& url, std::string& report)>;
