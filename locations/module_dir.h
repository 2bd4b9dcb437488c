#pragma once

#include <filesystem>

// The directory of the running executable (its real path), where Setting.ini and log.txt live.
std::filesystem::path GetModuleDir();
