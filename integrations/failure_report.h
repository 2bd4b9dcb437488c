#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "ports/alarm_observer.h"

// `utf8` as a run-pane line: the local time in front, GBK.
std::string RunPaneLine(const std::string& utf8);

// Passes at most one failure line per interval to the run pane and counts the rest, so a hook that fails on
// every alarm does not flood it. Thread-safe.
class FailureReport {
public:
    FailureReport(RunPaneSink sink, std::chrono::steady_clock::duration interval);
    // `utf8Line` says what failed; the next line that gets through says how many were held back.
    void Failed(const std::string& utf8Line);

private:
    RunPaneSink m_sink;
    std::chrono::steady_clock::duration m_interval;
    std::mutex m_mutex;
    std::optional<std::chrono::steady_clock::time_point> m_lastShown;
    int m_heldBack = 0;
};
