#include "core/run_pane_relay.h"

RunPaneRelay::RunPaneRelay(Deliver deliver) : m_deliver(std::move(deliver)) {}

void RunPaneRelay::Push(std::string line) {
    bool first = false;
    {
        std::lock_guard hold(m_mutex);
        first = m_lines.empty();
        m_lines.push_back(std::move(line));
    }
    // One pending call collects every line queued before it runs.
    if (first) m_calls.Post([this] { Drain(); });
}

void RunPaneRelay::Drain() {
    std::deque<std::string> lines;
    {
        std::lock_guard hold(m_mutex);
        lines.swap(m_lines);
    }
    if (!lines.empty()) m_deliver(std::move(lines));
}
