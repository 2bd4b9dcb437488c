#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channels/channel.h"
#include "integrations/drop_oldest_queue.h"
#include "integrations/failure_report.h"

struct SenderLimits {
    std::chrono::milliseconds timeout{10'000};  // per try
    int tries = 3;
    std::chrono::milliseconds backoff{2'000};  // before the second try, doubled before each next one
    std::chrono::steady_clock::duration reportEvery = std::chrono::minutes(1);
    std::size_t queueLimit = 32;
    std::chrono::steady_clock::duration rateWindow = std::chrono::minutes(1);
};

// Told of each message's end, from the sender's thread: the channel's name and whether it was delivered.
using ChannelResultSink = std::function<void(const std::string& channel, bool sent)>;

// Sends one channel's messages one after another on a thread of its own (libcurl), with retries and
// back-off for a network error or HTTP 5xx. Send returns at once; what waits while a try runs, or while the
// platform's rate is used up, goes out merged as one message. The destructor cancels a running transfer and
// returns promptly.
class ChannelSender {
public:
    ChannelSender(std::unique_ptr<Channel> channel, RunPaneSink sink, ChannelResultSink results,
                  SenderLimits limits = {});
    ~ChannelSender();
    ChannelSender(const ChannelSender&) = delete;
    ChannelSender& operator=(const ChannelSender&) = delete;

    void Send(ChannelMessage message);
    const Channel& Target() const { return *m_channel; }
    // Takes no more messages and lets the waiting ones go out; the destructor still ends at once.
    void Finish();
    // After Finish: true once nothing is sent or waits.
    bool Finished() const;

private:
    void Work();
    Attempt TryOnce(const ChannelMessage& message);
    // False when stopping cut the wait short.
    bool PauseUntil(std::chrono::steady_clock::time_point until);
    bool Stopping() const;
    void Deliver(const ChannelMessage& message);

    std::unique_ptr<Channel> m_channel;
    SenderLimits m_limits;
    FailureReport m_report;
    ChannelResultSink m_results;
    void* m_multi = nullptr;                                   // CURLM*, woken from the destructor
    std::deque<std::chrono::steady_clock::time_point> m_sent;  // the worker's: sends within the rate window

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    DropOldestQueue<ChannelMessage> m_queue{m_limits.queueLimit};
    bool m_stopping = false;
    bool m_finishing = false;
    bool m_workerEnded = false;
    std::thread m_worker;
};
