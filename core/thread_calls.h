#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include <QObject>

// Carries calls from any thread to the thread this object lives in: the poll round's calls into the core,
// the additions' run-pane lines, the audio thread's commands. The calls travel through a
// std::mutex queue and completion comes back through a condition variable, so the hand-over is plain C++
// synchronisation that ThreadSanitizer can follow (Qt's own queued calls use primitives it cannot see).
class ThreadCalls final : public QObject {
    Q_OBJECT
public:
    explicit ThreadCalls(QObject* parent);
    ThreadCalls(const ThreadCalls&) = delete;
    ThreadCalls& operator=(const ThreadCalls&) = delete;

    // Queues the call and returns at once.
    void Post(std::function<void()> call);
    // Returns once the call has run; on this object's own thread it runs at once. The owning thread must keep
    // handling events until then.
    void Call(const std::function<void()>& call);

private:
    Q_INVOKABLE void RunPending();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_pending;
};
