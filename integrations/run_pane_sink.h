#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "integrations/failure_report.h"

// Carries the integrations' lines into the window's run pane without ever waiting on the window: a queued
// call on the application picks them up, and drops them once the window is gone. The lines themselves pass
// through a std::mutex, which ThreadSanitizer can follow. `Window` has AppendRunLog and OnPollRefresh
// (CTessivDlg); a template so that this folder needs no QtWidgets.
template <typename Window>
RunPaneSink QueuedRunPaneSink(Window& window) {
    struct Pending {
        std::mutex mutex;
        std::deque<std::string> lines;
    };
    auto pending = std::make_shared<Pending>();
    return [target = QPointer<Window>(&window), pending](std::string line) {
        {
            std::lock_guard hold(pending->mutex);
            pending->lines.push_back(std::move(line));
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [target, pending] {
                std::deque<std::string> lines;
                {
                    std::lock_guard hold(pending->mutex);
                    lines.swap(pending->lines);
                }
                if (!target || lines.empty()) return;
                for (std::string& each : lines) target->AppendRunLog(std::move(each));
                target->OnPollRefresh();
            },
            Qt::QueuedConnection);
    };
}
