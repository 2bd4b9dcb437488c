#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "core/thread_calls.h"

// Hands lines from any thread to the thread that created it, without waiting: one pending call on
// ThreadCalls collects every line queued before it runs.
class RunPaneRelay final {
public:
    using Deliver = std::function<void(std::deque<std::string> lines)>;
    // `deliver` runs on the creating thread.
    explicit RunPaneRelay(Deliver deliver);
    RunPaneRelay(const RunPaneRelay&) = delete;
    RunPaneRelay& operator=(const RunPaneRelay&) = delete;

    void Push(std::string line);

private:
    void Drain();

    Deliver m_deliver;
    std::mutex m_mutex;
    std::deque<std::string> m_lines;
    ThreadCalls m_calls{nullptr};  // last: destroyed first, dropping a pending call with it
};
