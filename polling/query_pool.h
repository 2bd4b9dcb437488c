#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "polling/entry_poll.h"
#include "polling/status_query.h"

class RoundControl;

// One entry's query as a pool runs it.
struct QueryJob {
    explicit QueryJob(EntryWork taken) : work(std::move(taken)) {}
    EntryWork work;
    bool done = false;    // guarded by the pool once submitted
    bool failed = false;  // the query threw: the entry ends as a serial round ends it
};

// Runs a round's queries on up to `workers` threads of its own, in the order they were submitted. The
// workers never reach the monitor: they only ask hosts. A stop of the round cancels their queries through
// the query itself.
class QueryPool {
public:
    QueryPool(StatusQuery query, int workers);
    // Returns once every worker has ended its current query; queued ones are dropped.
    ~QueryPool();
    QueryPool(const QueryPool&) = delete;
    QueryPool& operator=(const QueryPool&) = delete;

    void Submit(std::shared_ptr<QueryJob> job);
    // Waits until `job`'s query has ended; false once a stop was requested instead.
    bool Await(const QueryJob& job, const RoundControl& control);

private:
    void Work();
    void Run(QueryJob& job);

    StatusQuery m_query;
    std::size_t m_limit;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::condition_variable m_finished;
    std::deque<std::shared_ptr<QueryJob>> m_queue;
    std::size_t m_idle = 0;
    bool m_closing = false;
    std::vector<std::jthread> m_workers;  // last: joined before the rest goes
};
