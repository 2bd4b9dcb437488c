#pragma once

#include "core/monitor_settings.h"

// `tessiv --headless`: the monitor's rounds, alarms, log.txt, history, hooks, webhook and metrics without a
// display, its pane lines on standard output, run as systemd runs a service. `argc`/`argv` hold only the
// program's name. Returns the exit status.
int RunHeadless(int argc, char** argv, MonitorSettings settings);
