#pragma once

#include <memory>
#include <string>

#include <QPointer>

#include "integrations/failure_report.h"
#include "integrations/run_pane_relay.h"

// Carries the integrations' lines into the window's run pane without ever waiting on the window, and drops
// them once the window is gone. Call on the window's thread; the sink may outlive the window. `Window` has
// AppendRunLog and OnPollRefresh (CTessivDlg); a template so that this folder needs no QtWidgets.
template <typename Window>
RunPaneSink QueuedRunPaneSink(Window& window) {
    auto relay =
        std::make_shared<RunPaneRelay>([target = QPointer<Window>(&window)](std::deque<std::string> lines) {
            if (!target) return;
            for (std::string& line : lines) target->AppendRunLog(std::move(line));
            target->OnPollRefresh();
        });
    return [relay](std::string line) { relay->Push(std::move(line)); };
}
