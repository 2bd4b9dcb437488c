#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include <QObject>

// Hands lines from any thread to the thread this object lives on, without waiting: Push queues the line
// under a std::mutex and posts a capture-free queued call, so every byte crosses threads through a lock
// ThreadSanitizer can follow (Qt's own queue uses futexes it cannot see).
class RunPaneRelay final : public QObject {
    Q_OBJECT
public:
    using Deliver = std::function<void(std::deque<std::string> lines)>;
    // `deliver` runs on the creating thread.
    explicit RunPaneRelay(Deliver deliver);
    RunPaneRelay(const RunPaneRelay&) = delete;
    RunPaneRelay& operator=(const RunPaneRelay&) = delete;

    void Push(std::string line);

private:
    Q_INVOKABLE void Drain();

    Deliver m_deliver;
    std::mutex m_mutex;
    std::deque<std::string> m_lines;
};
