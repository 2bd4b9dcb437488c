#include "polling/status_query.h"

#include <curl/curl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "text/gbk.h"

namespace {

constexpr std::size_t kReportLimit = 1024;

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

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

std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const std::size_t length = size * count;
    if (body->complete) return 0;
    std::string_view chunk(data, std::min(length, kReportLimit - body->bytes.size()));
    if (std::size_t zero = chunk.find('\0'); zero != std::string_view::npos) {
        chunk = chunk.substr(0, zero);
        body->complete = true;
    }
    body->bytes.append(chunk);
    if (body->bytes.size() == kReportLimit) body->complete = true;
    // Nothing after this point is used; the short count makes libcurl end with CURLE_WRITE_ERROR.
    return body->complete ? 0 : length;
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

int CheckCancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancel)->load(std::memory_order_acquire) ? 1 : 0;
}

bool Configure(CURL* easy, const std::string& url, Body& body, const QueryOptions& options) {
    const auto ms = [](std::chrono::milliseconds duration) { return static_cast<long>(duration.count()); };
    bool ok =
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        // A name lookup that never returns must not hold up the end of a cancelled query: its resolver
        // thread is left to finish on its own instead of being waited for.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
        // A status URL must never make the monitor read local files or talk other protocols,
        // not even through a redirect.
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, options.limits.maxRedirects) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, ms(options.limits.connectTimeout)) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, ms(options.limits.totalTimeout)) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CollectBody) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body) == CURLE_OK;
    if (ok && options.cancel != nullptr) {
        // libcurl calls this at least about once a second, even while the host is silent.
        ok = curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
             curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CheckCancel) == CURLE_OK &&
             curl_easy_setopt(easy, CURLOPT_XFERINFODATA, options.cancel) == CURLE_OK;
    }
    return ok;
}

}  // namespace

bool QueryServerStatus(const std::string& url, std::string& report, const QueryOptions& options) {
    // A cancelled query counts as nothing: the round is being torn down, and a host should not gain a
    // failure, or lose its count, only because the monitor stopped while it was asked.
    if (Cancelled(options)) return false;
    // libcurl would guess http for an address without a scheme; such an entry is a typing slip, and the
    // operator learns of it as of any host that cannot be asked.
    if (!HasHttpScheme(url)) {
        CountFailure(url);
        report = ConnectionFaultReport(options.clock ? options.clock() : std::time(nullptr));
        return true;
    }
    EasyHandle easy(curl_easy_init());
    if (!easy) return false;
    Body body;
    if (!Configure(easy.get(), url, body, options)) return false;

    const CURLcode result = curl_easy_perform(easy.get());
    if (Cancelled(options)) return false;

    long status = 0;
    if (curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    // A host that keeps the query past its time-out is as good as unreachable, also after a 200 status
    // line: passing it over would leave it unreported round after round.
    if (status != 200 || result == CURLE_OPERATION_TIMEDOUT) {
        CountFailure(url);
        report = ConnectionFaultReport(options.clock ? options.clock() : std::time(nullptr));
        return true;
    }

    ResetFailures(url);
    // After a 200 any other error but our own cut (reset, truncation) means the body is
    // incomplete, and a partial report must not be taken for the host's word.
    const bool bodyRead = result == CURLE_OK || (result == CURLE_WRITE_ERROR && body.complete);
    if (!bodyRead) return false;
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
