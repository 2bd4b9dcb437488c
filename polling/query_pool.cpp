#include "polling/query_pool.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "crash/crash_dump.h"
#include "polling/round_control.h"

QueryPool::QueryPool(StatusQuery query, int workers)
    : m_query(std::move(query)), m_limit(static_cast<std::size_t>(std::max(workers, 1))) {}

QueryPool::~QueryPool() {
    {
        std::lock_guard hold(m_mutex);
        m_closing = true;
        m_queue.clear();
    }
    m_queued.notify_all();
}

void QueryPool::Submit(std::shared_ptr<QueryJob> job) {
    std::unique_lock hold(m_mutex);
    m_queue.push_back(std::move(job));
    if (m_idle == 0 && m_workers.size() < m_limit) {
        try {
            m_workers.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            // Out of threads: the workers there are take it later; with none, the round asks itself.
            if (m_workers.empty()) {
                std::shared_ptr<QueryJob> own = std::move(m_queue.back());
                m_queue.pop_back();
                hold.unlock();
                Run(*own);
                return;
            }
        }
    }
    hold.unlock();
    m_queued.notify_one();
}

bool QueryPool::Await(const QueryJob& job, const RoundControl& control) {
    std::unique_lock hold(m_mutex);
    while (!job.done) {
        if (control.StopRequested()) return false;
        // The stop cancels the running queries, which then end at once; the timed wake only notices a stop
        // while every query is still running.
        m_finished.wait_for(hold, std::chrono::milliseconds(100));
    }
    return true;
}

void QueryPool::Work() {
    crashdump::ThreadGuard altStack;
    std::unique_lock hold(m_mutex);
    for (;;) {
        ++m_idle;
        m_queued.wait(hold, [this] { return m_closing || !m_queue.empty(); });
        --m_idle;
        if (m_closing) return;
        std::shared_ptr<QueryJob> job = std::move(m_queue.front());
        m_queue.pop_front();
        hold.unlock();
        Run(*job);
        hold.lock();
    }
}

void QueryPool::Run(QueryJob& job) {
    bool failed = false;
    try {
        QueryEntry(m_query, job.work);
    } catch (...) {
        failed = true;
    }
    {
        std::lock_guard hold(m_mutex);
        job.done = true;
        job.failed = failed;
    }
    m_finished.notify_all();
}
