#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

// One HTTP/1.1 GET over a plain socket, as the status query needs it: no TLS and no other library, so a
// monitor that only asks http hosts maps nothing more than the C library's resolver.
struct PlainGetLimits {
    std::chrono::milliseconds connectTimeout;  // name lookup and connection, for each connection
    std::chrono::milliseconds totalTimeout;    // the whole exchange, redirects included
    long maxRedirects = 0;
    const std::atomic<bool>* cancel = nullptr;
};

enum class PlainGetResult {
    Done,      // the body ended, or the sink asked for no more
    Status,    // no 200 answer: refused, unreachable, bad URL, other scheme, other status, too many redirects
    TimedOut,  // a time-out ran out, also after a 200 status line
    BodyError,  // a 200 whose body broke off (reset, shorter than announced, bad chunking)
    Cancelled,
};

// Receives the 200 answer's body in pieces; returns false when it wants no more.
using BodySink = std::function<bool(std::string_view piece)>;

// GETs an http:// URL, following http redirects up to the limit and using `http_proxy` / `no_proxy` from
// the environment. The path and query are sent as written. A name lookup runs on a thread of its own that
// is left behind, not waited for, when the query ends first.
PlainGetResult PlainHttpGet(const std::string& url, const PlainGetLimits& limits, const BodySink& sink);
