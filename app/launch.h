#pragma once

#include <variant>

#include "app/launch_options.h"
#include "core/monitor_settings.h"

// Which executable starts: the window's `tessiv` or the window-less `tessivd`.
enum class LaunchFront { Window, Service };

// What is left to start once the shared steps are done.
struct Launch {
    LaunchOptions options;
    MonitorSettings settings;
};

// The start both executables share, up to the monitor itself: the standard descriptors, GBK, the command
// line, --help, --version, --history, --ack and --unack, the data folder and the crash dump. The exit status
// when the start ends here.
std::variant<int, Launch> BeginLaunch(int argc, char** argv, LaunchFront front);
