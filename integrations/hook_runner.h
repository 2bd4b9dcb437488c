#pragma once

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "integrations/drop_oldest_queue.h"
#include "integrations/failure_report.h"
#include "integrations/notice.h"

struct HookLimits {
    std::chrono::milliseconds killAfter{10'000};
    std::chrono::steady_clock::duration reportEvery = std::chrono::minutes(1);
    std::size_t queueLimit = 32;
    std::size_t parallel = 4;
};

// Runs the configured program once per notice, with the notice in its environment and without a shell,
// since the fault line is host-controlled text. Runs go on threads of their own; Run returns at once.
//
// Each run has a keeper process of its own between the monitor and the program: a child subreaper, so
// whatever the program starts stays below it, however it detaches. When the program exits, is killed after
// killAfter, or the runner stops, the keeper kills and reaps all of it before it ends; when the monitor
// dies, even by SIGKILL, its keepers see their command pipes close and do the same. The program gets
// /dev/null as stdin, stdout and stderr, and no other descriptor.
class HookRunner {
public:
    // `command`: program (looked up in PATH) and arguments, UTF-8.
    HookRunner(std::vector<std::string> command, RunPaneSink sink, HookLimits limits = {});
    // Kills the runs still going and drops the queued ones.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    void Run(const Notice& notice);
    std::uint64_t Dropped() const;
    const std::vector<std::string>& Command() const { return m_command; }
    // Takes no more notices and lets the runs going and queued end on their own; the destructor still ends
    // whatever is left at once.
    void Finish();
    // After Finish: true once nothing runs or waits.
    bool Finished() const;

private:
    void Work();
    // Runs one and waits for its end; the failure in words, or empty.
    std::string RunOne(const std::vector<std::string>& environment);
    // A keeper that did not end in time is reaped later, so it does not stay a zombie.
    void KeepStray(pid_t keeper);
    void ReapStrays();

    std::vector<std::string> m_command;
    HookLimits m_limits;
    FailureReport m_report;
    int m_wake = -1;  // eventfd, readable once stopping: ends the waits on running programs

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    DropOldestQueue<std::vector<std::string>> m_queue{m_limits.queueLimit};
    bool m_stopping = false;
    bool m_finishing = false;
    std::size_t m_workersEnded = 0;
    std::vector<pid_t> m_strays;
    std::vector<std::thread> m_workers;
};
