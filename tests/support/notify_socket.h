#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// systemd's side of sd_notify(3): a datagram socket at `path` (for NOTIFY_SOCKET), read by a thread of its
// own that notes when each message arrived, so the queue never fills and the times do not depend on the
// loop under test.
class NotifySocket {
public:
    using Clock = std::chrono::steady_clock;
    struct Message {
        Clock::time_point at;
        std::string text;
    };

    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    std::vector<Message> Messages() const;
    bool WaitFor(const std::string& text, Clock::duration limit) const;

private:
    void Read();

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::thread m_reader;
};
