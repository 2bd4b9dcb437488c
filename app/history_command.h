#pragma once

#include <filesystem>

// `tessiv --history ...`: prints the history's tables from `folder`, or without one from the folder the
// window would keep log.txt in, without a window or a display. `argc`/`argv` are the words after
// `--history`. Returns the exit status.
int RunHistoryCommand(int argc, char** argv, const std::filesystem::path& folder = {});
