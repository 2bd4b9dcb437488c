#include "polling/status_query.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "polling/plain_http.h"
#include "text/gbk.h"

namespace {

constexpr std::size_t kReportLimit = 1024;

// Consecutive failures per URL. Entries stay for the life of the process.
struct FailureCounters {
    std::mutex mutex;
    std::map<std::string, std::uint32_t> counts;
};

FailureCounters& Counters() {
    static FailureCounters counters;
    return counters;
}

void CountFailure(const std::string& url) {
    FailureCounters& counters = Counters();
    std::lock_guard hold(counters.mutex);
    ++counters.counts[url];
}

void ResetFailures(const std::string& url) {
    FailureCounters& counters = Counters();
    std::lock_guard hold(counters.mutex);
    if (auto found = counters.counts.find(url); found != counters.counts.end()) found->second = 0;
}

struct Body {
    std::string bytes;
    bool complete = false;  // we ended the transfer ourselves: the limit or a zero byte was reached
};

// Keeps the body's first kReportLimit bytes up to its first zero byte; false once nothing more is used.
bool CollectBody(Body& body, std::string_view piece) {
    if (body.complete) return false;
    std::string_view chunk = piece.substr(0, std::min(piece.size(), kReportLimit - body.bytes.size()));
    if (std::size_t zero = chunk.find('\0'); zero != std::string_view::npos) {
        chunk = chunk.substr(0, zero);
        body.complete = true;
    }
    body.bytes.append(chunk);
    if (body.bytes.size() == kReportLimit) body.complete = true;
    return !body.complete;
}

bool HasHttpScheme(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (url.size() < scheme.size()) return false;
    return std::equal(scheme.begin(), scheme.end(), url.begin(),
                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? char(b - 'A' + 'a') : b); });
}

bool Cancelled(const QueryOptions& options) {
    return options.cancel != nullptr && options.cancel->load(std::memory_order_acquire);
}

}  // namespace

bool QueryServerStatus(const std::string& url, std::string& report, const QueryOptions& options) {
    // A cancelled query counts as nothing: the round is being torn down, and a host should not gain a
    // failure, or lose its count, only because the monitor stopped while it was asked.
    if (Cancelled(options)) return false;
    // An address without a scheme could be taken for http; such an entry is a typing slip, and the
    // operator learns of it as of any host that cannot be asked.
    if (!HasHttpScheme(url)) {
        CountFailure(url);
        report = ConnectionFaultReport(options.clock ? options.clock() : std::time(nullptr));
        return true;
    }
    Body body;
    const PlainGetLimits limits{options.limits.connectTimeout, options.limits.totalTimeout,
                                options.limits.maxRedirects, options.cancel};
    const PlainGetResult result =
        PlainHttpGet(url, limits, [&body](std::string_view piece) { return CollectBody(body, piece); });
    if (result == PlainGetResult::Cancelled || Cancelled(options)) return false;

    // A host that keeps the query past its time-out is as good as unreachable, also after a 200 status
    // line: passing it over would leave it unreported round after round.
    if (result == PlainGetResult::Status || result == PlainGetResult::TimedOut) {
        CountFailure(url);
        report = ConnectionFaultReport(options.clock ? options.clock() : std::time(nullptr));
        return true;
    }

    ResetFailures(url);
    // After a 200 any other error but our own cut (reset, truncation) means the body is
    // incomplete, and a partial report must not be taken for the host's word.
    if (result == PlainGetResult::BodyError) return false;
    report += body.bytes;
    return true;
}

std::string ConnectionFaultReport(std::time_t when) {
    static const std::string separator = std::string(6, '\t') + ' ';
    std::string report;
    for (const std::string& piece : {
             std::string("<msg>"),
             std::string("<apps>"),
             std::string("<app>"),
             "<appname>" + gbk::FromUtf8("网站") + "</appname>",
             "<activetime>" + FormatLocalTime(when, kReportTimeFormat) + "</activetime>",
             std::string("</app>"),
             std::string("</apps>"),
         }) {
        report += piece;
        report += separator;
    }
    report += "</msg>";
    return report;
}

std::optional<std::uint32_t> FailureCount(const std::string& url) {
    FailureCounters& counters = Counters();
    std::lock_guard hold(counters.mutex);
    if (auto found = counters.counts.find(url); found != counters.counts.end()) return found->second;
    return std::nullopt;
}
