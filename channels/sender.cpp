#include "channels/sender.h"

#include "lazycurl/lazy_curl.h"
#include "lazycurl/transfer.h"

#include <vector>

namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { lazycurl::easy_cleanup(easy); }
};

}  // namespace

ChannelSender::ChannelSender(std::unique_ptr<Channel> channel, RunPaneSink sink, ChannelResultSink results,
                             SenderLimits limits)
    : m_channel(std::move(channel)),
      m_limits(limits),
      m_report(std::move(sink), limits.reportEvery),
      m_results(std::move(results)),
      m_multi(lazycurl::multi_init()) {
    m_worker = std::thread([this] { Work(); });
}

ChannelSender::~ChannelSender() {
    {
        std::lock_guard hold(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_multi != nullptr) lazycurl::multi_wakeup(static_cast<CURLM*>(m_multi));
    m_worker.join();
    if (m_multi != nullptr) lazycurl::multi_cleanup(static_cast<CURLM*>(m_multi));
}

void ChannelSender::Send(ChannelMessage message) {
    bool dropped = false;
    {
        std::lock_guard hold(m_mutex);
        if (m_stopping || m_finishing) return;
        dropped = m_queue.Push(std::move(message));
    }
    m_changed.notify_one();
    if (dropped) m_report.Failed(m_channel->Name() + ": too many messages waiting, the oldest was dropped");
}

void ChannelSender::Finish() {
    {
        std::lock_guard hold(m_mutex);
        m_finishing = true;
    }
    m_changed.notify_all();
}

bool ChannelSender::Finished() const {
    std::lock_guard hold(m_mutex);
    return m_workerEnded;
}

bool ChannelSender::Stopping() const {
    std::lock_guard hold(m_mutex);
    return m_stopping;
}

bool ChannelSender::PauseUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock hold(m_mutex);
    return !m_changed.wait_until(hold, until, [this] { return m_stopping; });
}

void ChannelSender::Work() {
    for (;;) {
        {
            std::unique_lock hold(m_mutex);
            m_changed.wait(hold, [this] { return m_stopping || m_finishing || !m_queue.Empty(); });
            if (m_stopping) return;
            if (m_queue.Empty()) {
                m_workerEnded = true;
                return;
            }
        }
        // The platform's rate used up: wait for room, while what comes meanwhile joins the next message.
        const auto now = std::chrono::steady_clock::now();
        while (!m_sent.empty() && now - m_sent.front() >= m_limits.rateWindow) m_sent.pop_front();
        if (m_channel->PerMinute() > 0 && m_sent.size() >= static_cast<std::size_t>(m_channel->PerMinute()) &&
            !PauseUntil(m_sent.front() + m_limits.rateWindow))
            return;
        std::vector<ChannelMessage> waiting;
        {
            std::lock_guard hold(m_mutex);
            while (auto message = m_queue.Pop()) waiting.push_back(std::move(*message));
        }
        if (waiting.empty()) continue;
        Deliver(MergeMessages(waiting));
        if (Stopping()) return;
    }
}

void ChannelSender::Deliver(const ChannelMessage& message) {
    Attempt attempt;
    std::chrono::milliseconds backoff = m_limits.backoff;
    for (int tried = 1; tried <= m_limits.tries; ++tried) {
        m_sent.push_back(std::chrono::steady_clock::now());
        attempt = TryOnce(message);
        if (attempt.outcome != Attempt::Outcome::Retry || Stopping()) break;
        if (tried < m_limits.tries && !PauseUntil(std::chrono::steady_clock::now() + backoff)) return;
        backoff *= 2;
    }
    if (Stopping()) return;
    const bool sent = attempt.outcome == Attempt::Outcome::Sent;
    if (m_results) m_results(m_channel->Name(), sent);
    if (sent) return;
    if (attempt.outcome == Attempt::Outcome::Refused)
        m_report.Failed(m_channel->Name() + " " + m_channel->Shown() +
                        " refused the message: " + attempt.reason);
    else
        m_report.Failed(m_channel->Name() + " " + m_channel->Shown() + " failed after " +
                        std::to_string(m_limits.tries) + " tries: " + attempt.reason);
}

Attempt ChannelSender::TryOnce(const ChannelMessage& message) {
    auto* multi = static_cast<CURLM*>(m_multi);
    std::unique_ptr<CURL, EasyCleanup> easy(lazycurl::easy_init());
    Transfer transfer;
    if (multi == nullptr || !easy || !CommonOptions(easy.get(), transfer, m_limits.timeout) ||
        !m_channel->Prepare(easy.get(), message, transfer))
        return {Attempt::Outcome::Refused, "libcurl could not be set up"};
    const std::optional<CURLcode> result =
        lazycurl::RunUntilDone(multi, easy.get(), [this] { return Stopping(); });
    if (!result) return {Attempt::Outcome::Retry, "cancelled"};
    return m_channel->Judge(easy.get(), *result, transfer);
}
