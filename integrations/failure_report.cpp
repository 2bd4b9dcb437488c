#include "integrations/failure_report.h"

#include <QString>

#include "text/gbk.h"
#include "text/time_text.h"

std::string RunPaneLine(const std::string& utf8) {
    return "<" + FormatLocalTime(std::time(nullptr), kPaneTimeFormat) + "> " +
           gbk::FromQString(QString::fromStdString(utf8));
}

FailureReport::FailureReport(RunPaneSink sink, std::chrono::steady_clock::duration interval)
    : m_sink(std::move(sink)), m_interval(interval) {}

void FailureReport::Failed(const std::string& utf8Line) {
    std::string line = utf8Line;
    {
        std::lock_guard hold(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (m_lastShown && now - *m_lastShown < m_interval) {
            ++m_heldBack;
            return;
        }
        if (m_heldBack > 0) line += " (and " + std::to_string(m_heldBack) + " more failures not shown)";
        m_heldBack = 0;
        m_lastShown = now;
    }
    if (m_sink) m_sink(RunPaneLine(line));
}
