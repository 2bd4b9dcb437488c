#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "ports/monitor_view.h"
#include "ports/round_observer.h"
#include "tools/status_host.h"

class MonitorCore;

// Many hosts on 127.0.0.1 for the scale benchmark: `hosts` entries in `folder`/Setting.ini, each with a URL
// of its own. Every tenth entry is served by a second status host, which answers normal reports or, once
// SetFaulty(true), a report naming a location server, so that those entries alarm every round.
class Fleet {
public:
    Fleet(const std::filesystem::path& folder, int hosts);

    int Hosts() const { return m_hosts; }
    int FaultyHosts() const { return (m_hosts + 9) / 10; }
    void SetFaulty(bool faulty);
    int Requests() const { return m_normal.requestCount() + m_sometimesFaulty.requestCount(); }

private:
    int m_hosts;
    StatusHost m_normal;
    StatusHost m_sometimesFaulty;
};

// The view of a monitor nobody looks at.
class SilentView final : public MonitorView {
public:
    void RunLineAdded(const std::string&) override {}
    void Refresh() override {}
    void AlarmLineAdded(const std::string&) override {}
    void AlarmPaneEmptied() override {}
    void AlarmShown(bool, bool sound) override { m_sounding = m_sounding || sound; }
    void SoundStopped() override { m_sounding = false; }
    bool IsSounding() const override { return m_sounding; }
    void MonitoringStarted() override {}

private:
    bool m_sounding = false;
};

// Told last of every polled entry: keeps the entries of the last whole round and the CPU time the rounds'
// workers spent up to the end of their round (each round runs on a fresh thread).
class RoundMeter final : public RoundObserver {
public:
    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;

    std::vector<EntryResult> LastRound() const;
    double WorkerCpuSeconds() const;

private:
    mutable std::mutex m_mutex;
    std::vector<EntryResult> m_current;
    std::vector<EntryResult> m_last;
    double m_workerCpu = 0;
};

// Times another observer's calls on the worker.
class TimedObserver final : public RoundObserver {
public:
    explicit TimedObserver(RoundObserver& inner) : m_inner(inner) {}
    void EntryPolled(const EntryResult& result) override;
    void RoundEnded(std::size_t entries) override;
    double Seconds() const;

private:
    RoundObserver& m_inner;
    mutable std::mutex m_mutex;
    double m_seconds = 0;
};

// Runs the core's thread until `rounds` more rounds have finished, calling `each(i)` right at the end of the
// i-th (0-based), before the next round can start. False when they did not finish within two minutes.
bool AwaitRounds(MonitorCore& core, int rounds, const std::function<void(int)>& each = {});

double ProcessCpuSeconds();
double ThreadCpuSeconds();
