#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "integrations/config.h"
#include "integrations/drop_oldest_queue.h"
#include "integrations/failure_report.h"
#include "integrations/notice.h"

struct WebhookLimits {
    std::chrono::milliseconds timeout{10'000};  // per try
    int tries = 3;
    std::chrono::milliseconds backoff{1'000};  // before the second try, doubled before each next one
    std::chrono::steady_clock::duration reportEvery = std::chrono::minutes(1);
    std::size_t queueLimit = 64;
};

// POSTs each notice as JSON to the configured URL, one after another on a thread of its own (libcurl).
// Send returns at once; the destructor cancels a running transfer and returns promptly.
class WebhookSender {
public:
    WebhookSender(WebhookConfig config, RunPaneSink sink, WebhookLimits limits = {});
    ~WebhookSender();
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    void Send(const Notice& notice);
    std::uint64_t Dropped() const;
    std::uint64_t Delivered() const;
    const WebhookConfig& Config() const { return m_config; }
    // Takes no more notices and lets the waiting ones be sent, tries and pauses included; the destructor
    // still cancels whatever is left at once.
    void Finish();
    // After Finish: true once nothing is sent or waits.
    bool Finished() const;

private:
    void Work();
    // One try; the failure in words, or empty.
    std::string PostOnce(const std::string& body);
    // False when stopping cut the wait short.
    bool Pause(std::chrono::milliseconds duration);
    bool Stopping() const;

    WebhookConfig m_config;
    std::string m_shownUrl;  // without user name and password
    WebhookLimits m_limits;
    FailureReport m_report;
    void* m_multi = nullptr;  // CURLM*, woken from the destructor

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    DropOldestQueue<std::string> m_queue{m_limits.queueLimit};
    std::uint64_t m_delivered = 0;
    bool m_stopping = false;
    bool m_finishing = false;
    bool m_workerEnded = false;
    std::thread m_worker;
};
