#pragma once

#include <cstdio>
#include <string>

#include "core/monitor_view.h"

// Shows the monitor as lines on standard output, UTF-8, each with the priority prefix systemd's journal
// reads: "<6>" (information) for a run-pane line, "<3>" (error) for an alarm-pane line. There is no sound,
// no title and no window to bring forward.
class StdoutView final : public MonitorView {
public:
    explicit StdoutView(std::FILE* out = stdout) : m_out(out) {}

    void RunLineAdded(const std::string& line) override { Write("<6>", line); }
    void Refresh() override {}
    void AlarmLineAdded(const std::string& line) override { Write("<3>", line); }
    void AlarmPaneEmptied() override {}
    void AlarmShown(bool, bool) override {}
    void SoundStopped() override {}
    bool IsSounding() const override { return false; }
    void MonitoringStarted() override {}

private:
    // One line each: a line break inside would start a record of its own without a prefix.
    void Write(const char* prefix, const std::string& gbkLine);

    std::FILE* m_out;
};
