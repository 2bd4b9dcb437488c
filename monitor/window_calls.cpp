#include "monitor/window_calls.h"

#include <condition_variable>

#include <QThread>

WindowCalls::WindowCalls(QObject* parent) : QObject(parent) {}

void WindowCalls::Post(std::function<void()> call) {
    {
        std::lock_guard hold(m_mutex);
        m_pending.push_back(std::move(call));
    }
    QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
}

void WindowCalls::Call(const std::function<void()>& call) {
    if (QThread::currentThread() == thread()) {
        call();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    Post([&] {
        call();
        std::lock_guard hold(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock hold(doneMutex);
    doneSignal.wait(hold, [&] { return done; });
}

void WindowCalls::RunPending() {
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
