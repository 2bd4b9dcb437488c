#include "polling/round_control.h"

void RoundControl::RequestStop() {
    {
        std::lock_guard hold(m_mutex);
        m_stop.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
}

bool RoundControl::Pause(std::chrono::milliseconds duration) {
    m_pauses.fetch_add(1);
    std::unique_lock hold(m_mutex);
    return !m_wake.wait_for(hold, duration, [this] { return StopRequested(); });
}
