#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

private:
    void Work();
    // Runs one and waits for its end; the failure in words, or empty.
    std::string RunOne(const std::vector<std::string>& environment);

    std::vector<std::string> m_command;
    HookLimits m_limits;
    FailureReport m_report;
    int m_wake = -1;  // eventfd, readable once stopping: ends the waits on running programs

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<std::string>> m_queue;
    std::uint64_t m_dropped = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
