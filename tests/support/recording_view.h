#pragma once

#include <string>
#include <vector>

#include "ports/monitor_view.h"

// A view for the core's tests: records, as UTF-8, what the core asked it to show, and plays the alarm sound
// as a flag.
class RecordingView final : public MonitorView {
public:
    void RunLineAdded(const std::string& line) override;
    void Refresh() override {}
    void AlarmLineAdded(const std::string& line) override;
    void AlarmPaneEmptied() override { ++emptied; }
    void AlarmShown(bool forward, bool sound) override;
    void SoundStopped() override { sounding = false; }
    bool IsSounding() const override { return sounding; }
    void MonitoringStarted() override {}

    std::vector<std::string> runLines;
    std::vector<std::string> alarmLines;
    int emptied = 0;
    int forwarded = 0;
    bool sounding = false;
};

// Some line holds `part`.
bool Contains(const std::vector<std::string>& lines, const std::string& part);
