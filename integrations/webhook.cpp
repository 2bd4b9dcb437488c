#include "integrations/webhook.h"

#include <sys/socket.h>
#include "lazycurl/lazy_curl.h"
#include "lazycurl/transfer.h"

#include <memory>

namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { lazycurl::easy_cleanup(easy); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { lazycurl::slist_free_all(list); }
};

struct UrlCleanup {
    void operator()(CURLU* url) const { lazycurl::url_cleanup(url); }
};

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// Close-on-exec from the start, so no program started meanwhile by any thread inherits the connection.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address) {
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The URL as the run pane may show it: user name and password are secrets.
std::string ShownUrl(const std::string& url) {
    std::unique_ptr<CURLU, UrlCleanup> parts(lazycurl::url());
    char* shown = nullptr;
    if (!parts || lazycurl::url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
        lazycurl::url_set(parts.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK ||
        lazycurl::url_set(parts.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK ||
        lazycurl::url_set(parts.get(), CURLUPART_OPTIONS, nullptr, 0) != CURLUE_OK ||
        lazycurl::url_get(parts.get(), CURLUPART_URL, &shown, 0) != CURLUE_OK)
        return "(its URL cannot be shown)";
    std::string text(shown);
    lazycurl::free(shown);
    return text;
}

}  // namespace

WebhookSender::WebhookSender(WebhookConfig config, RunPaneSink sink, WebhookLimits limits)
    : m_config(std::move(config)),
      m_shownUrl(ShownUrl(m_config.url)),
      m_limits(limits),
      m_report(std::move(sink), limits.reportEvery),
      m_multi(lazycurl::multi_init()) {
    m_worker = std::thread([this] { Work(); });
}

WebhookSender::~WebhookSender() {
    {
        std::lock_guard hold(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_multi != nullptr) lazycurl::multi_wakeup(static_cast<CURLM*>(m_multi));
    m_worker.join();
    if (m_multi != nullptr) lazycurl::multi_cleanup(static_cast<CURLM*>(m_multi));
}

void WebhookSender::Send(const Notice& notice) {
    std::uint64_t dropped = 0;
    {
        std::lock_guard hold(m_mutex);
        if (m_stopping || m_finishing) return;
        if (m_queue.Push(NoticeJson(notice))) dropped = m_queue.Dropped();
    }
    m_changed.notify_one();
    if (dropped > 0)
        m_report.Failed("webhook: too many notices waiting, " + std::to_string(dropped) + " dropped so far");
}

std::uint64_t WebhookSender::Dropped() const {
    std::lock_guard hold(m_mutex);
    return m_queue.Dropped();
}

std::uint64_t WebhookSender::Delivered() const {
    std::lock_guard hold(m_mutex);
    return m_delivered;
}

void WebhookSender::Finish() {
    {
        std::lock_guard hold(m_mutex);
        m_finishing = true;
    }
    m_changed.notify_all();
}

bool WebhookSender::Finished() const {
    std::lock_guard hold(m_mutex);
    return m_workerEnded;
}

bool WebhookSender::Stopping() const {
    std::lock_guard hold(m_mutex);
    return m_stopping;
}

bool WebhookSender::Pause(std::chrono::milliseconds duration) {
    std::unique_lock hold(m_mutex);
    return !m_changed.wait_for(hold, duration, [this] { return m_stopping; });
}

void WebhookSender::Work() {
    for (;;) {
        std::string body;
        {
            std::unique_lock hold(m_mutex);
            m_changed.wait(hold, [this] { return m_stopping || m_finishing || !m_queue.Empty(); });
            if (m_stopping) return;
            if (m_queue.Empty()) {
                m_workerEnded = true;
                return;
            }
            body = *m_queue.Pop();
        }
        std::string failure;
        std::chrono::milliseconds backoff = m_limits.backoff;
        for (int attempt = 1; attempt <= m_limits.tries; ++attempt) {
            failure = PostOnce(body);
            if (failure.empty() || Stopping()) break;
            if (attempt < m_limits.tries && !Pause(backoff)) return;
            backoff *= 2;
        }
        if (Stopping()) return;
        if (failure.empty()) {
            std::lock_guard hold(m_mutex);
            ++m_delivered;
        } else {
            m_report.Failed("webhook " + m_shownUrl + " failed after " + std::to_string(m_limits.tries) +
                            " tries: " + failure);
        }
    }
}

std::string WebhookSender::PostOnce(const std::string& body) {
    auto* multi = static_cast<CURLM*>(m_multi);
    std::unique_ptr<CURL, EasyCleanup> easy(lazycurl::easy_init());
    std::unique_ptr<curl_slist, ListCleanup> headers(
        lazycurl::slist_append(nullptr, "Content-Type: application/json"));
    if (multi == nullptr || !easy || !headers) return "libcurl could not be set up";
    CURL* handle = easy.get();
    const bool configured =
        lazycurl::easy_setopt(handle, CURLOPT_URL, m_config.url.c_str()) == CURLE_OK &&
        // The URL is checked at start; this keeps libcurl itself to the two protocols as well.
        lazycurl::easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        // A name lookup that never returns is left to its resolver thread rather than joined, so it
        // cannot hold up the sender's end, nor the process's.
        lazycurl::easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket) == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(m_limits.timeout.count())) ==
            CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
        (m_config.caFile.empty() ||
         lazycurl::easy_setopt(handle, CURLOPT_CAINFO, m_config.caFile.c_str()) == CURLE_OK) &&
        lazycurl::easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size())) == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_COPYPOSTFIELDS, body.c_str()) == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_USERAGENT, "Tessiv") == CURLE_OK &&
        lazycurl::easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Discard) == CURLE_OK;
    if (!configured) return "libcurl could not be set up";

    const std::optional<CURLcode> result =
        lazycurl::RunUntilDone(multi, handle, [this] { return Stopping(); });
    if (!result) return "cancelled";
    if (*result != CURLE_OK) return lazycurl::easy_strerror(*result);
    long status = 0;
    lazycurl::easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return "HTTP status " + std::to_string(status);
    return {};
}
