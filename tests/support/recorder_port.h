#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "polling/monitor_port.h"
#include "servers/server_lists.h"

// Stands in for the window: records every call of a poll round in order.
class RecorderPort final : public MonitorPort {
public:
    enum class Kind { RunLog, Alarm, Refresh, Silence, ClearAlarmPane, ArmTimer };
    struct Call {
        Kind kind;
        std::string line;                    // RunLog, Alarm
        bool soundFlag = false;              // Alarm
        std::chrono::milliseconds delay{0};  // ArmTimer
        AlarmFacts facts;                    // Alarm
    };

    void AppendRunLog(std::string line) override;
    void RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) override;
    void PollRefresh() override;
    void Silence() override;
    void ClearAlarmPane() override;
    void ArmRoundTimer(std::chrono::milliseconds delay) override;
    MuteOptions Mutes() const override;
    ServerLists& Servers() override { return m_servers; }

    std::vector<Call> Calls() const;
    std::vector<Call> CallsOf(Kind kind) const;
    void SetMutes(MuteOptions mutes);

private:
    void Record(Call call);

    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
    MuteOptions m_mutes;
    ServerLists m_servers;
};
