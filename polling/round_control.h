#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Lets the core end a running round from its own thread: the pauses wake at once and the running
// query sees the flag and breaks off.
class RoundControl {
public:
    void RequestStop();
    bool StopRequested() const { return m_stop.load(std::memory_order_acquire); }
    const std::atomic<bool>& StopFlag() const { return m_stop; }

    // Sleeps for `duration` unless a stop is requested; returns false when it was.
    bool Pause(std::chrono::milliseconds duration);
    int PauseCount() const { return m_pauses.load(); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_pauses{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
};
