#include "core/thread_calls.h"

#include <condition_variable>
#include <exception>

#include <QThread>

ThreadCalls::ThreadCalls(QObject* parent) : QObject(parent) {}

void ThreadCalls::Post(std::function<void()> call) {
    {
        std::lock_guard hold(m_mutex);
        m_pending.push_back(std::move(call));
    }
    QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
}

void ThreadCalls::Call(const std::function<void()>& call) {
    if (QThread::currentThread() == thread()) {
        call();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::exception_ptr failure;
    Post([&] {
        // A call that throws still ends the wait; the worker gets the exception instead of waiting for ever.
        try {
            call();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard hold(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock hold(doneMutex);
    doneSignal.wait(hold, [&] { return done; });
    if (failure) std::rethrow_exception(failure);
}

void ThreadCalls::RunPending() {
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard hold(m_mutex);
            if (m_pending.empty()) return;
            call = std::move(m_pending.front());
            m_pending.pop_front();
        }
        call();
    }
}
