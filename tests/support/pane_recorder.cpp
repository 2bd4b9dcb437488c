#include "tests/support/pane_recorder.h"

#include <algorithm>

#include <QString>

#include "text/gbk.h"

RunPaneSink PaneRecorder::Sink() {
    return [this](std::string gbkLine) {
        std::string line = gbk::ToQString(gbkLine).toStdString();
        std::lock_guard hold(m_mutex);
        m_lines.push_back(std::move(line));
    };
}

std::vector<std::string> PaneRecorder::Get() const {
    std::lock_guard hold(m_mutex);
    return m_lines;
}

bool PaneRecorder::Has(const std::string& piece) const {
    std::lock_guard hold(m_mutex);
    return std::any_of(m_lines.begin(), m_lines.end(),
                       [&](const std::string& line) { return line.find(piece) != std::string::npos; });
}
