#pragma once

// `tessiv --history ...`: prints the history's tables from the folder the window would keep log.txt in,
// without a window or a display. `argc`/`argv` are the words after `--history`. Returns the exit status.
int RunHistoryCommand(int argc, char** argv);
