#pragma once

#include <string>

// What shows the monitor: the window, or the service's standard output. Called on the monitor's thread.
class MonitorView {
public:
    virtual ~MonitorView() = default;

    // A line was put at the top of the run pane text; it is shown at the next Refresh.
    virtual void RunLineAdded(const std::string& line) = 0;
    // As RunLineAdded, for a line about the monitor itself that an operator should act on; a view without a
    // level of its own shows it as any run-pane line.
    virtual void RunWarningAdded(const std::string& line) { RunLineAdded(line); }
    // Shows the run pane and the options as they are now.
    virtual void Refresh() = 0;
    // A line was put at the top of the alarm pane text; shown at once.
    virtual void AlarmLineAdded(const std::string& line) = 0;
    virtual void AlarmPaneEmptied() = 0;
    // An alarm beyond its pane line: `forward`, the operator is to be fetched; `sound`, the loop starts and
    // the alarm title is set.
    virtual void AlarmShown(bool forward, bool sound) = 0;
    // The sound stops and the quiet title comes back.
    virtual void SoundStopped() = 0;
    virtual bool IsSounding() const = 0;
    // Monitoring has started; it cannot be started again.
    virtual void MonitoringStarted() = 0;
};
