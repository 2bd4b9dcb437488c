#include "tests/support/recorder_port.h"

void RecorderPort::Record(Call call) {
    std::lock_guard hold(m_mutex);
    m_calls.push_back(std::move(call));
}

void RecorderPort::AppendRunLog(std::string line) {
    Record({Kind::RunLog, std::move(line)});
}
void RecorderPort::RaiseAlarm(std::string line, bool soundFlag, AlarmFacts facts) {
    Record({Kind::Alarm, std::move(line), soundFlag, {}, std::move(facts)});
}
void RecorderPort::PollRefresh() {
    Record({Kind::Refresh, {}});
}
void RecorderPort::Silence() {
    Record({Kind::Silence, {}});
}
void RecorderPort::ClearAlarmPane() {
    Record({Kind::ClearAlarmPane, {}});
}
void RecorderPort::ArmRoundTimer(std::chrono::milliseconds delay) {
    Record({Kind::ArmTimer, {}, false, delay});
}

MuteOptions RecorderPort::Mutes() const {
    std::lock_guard hold(m_mutex);
    return m_mutes;
}

void RecorderPort::SetMutes(MuteOptions mutes) {
    std::lock_guard hold(m_mutex);
    m_mutes = mutes;
}

std::vector<RecorderPort::Call> RecorderPort::Calls() const {
    std::lock_guard hold(m_mutex);
    return m_calls;
}

std::vector<RecorderPort::Call> RecorderPort::CallsOf(Kind kind) const {
    std::vector<Call> matching;
    for (const Call& call : Calls())
        if (call.kind == kind) matching.push_back(call);
    return matching;
}
