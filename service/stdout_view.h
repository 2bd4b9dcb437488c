#pragma once

#include <unistd.h>

#include <string>

#include "ports/monitor_view.h"
#include "service/line_writer.h"

// Shows the monitor as lines on standard output, UTF-8, each with the priority prefix systemd's journal
// reads: "<6>" (information) for a run-pane line, "<4>" (warning) for a run-pane warning, "<3>" (error) for
// an alarm-pane line. There is no sound, no title and no window to bring forward. Output never waits for its
// reader (see LineWriter).
class StdoutView final : public MonitorView {
public:
    explicit StdoutView(int fd = STDOUT_FILENO) : m_out(fd) {}

    void RunLineAdded(const std::string& line) override { Write("<6>", line); }
    void RunWarningAdded(const std::string& line) override { Write("<4>", line); }
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

    LineWriter m_out;
};
