#pragma once

#include <filesystem>
#include <functional>
#include <string>

// Reads one environment variable: null when it is not set. Passed in, so that tests need not change the
// process's own environment.
using EnvironmentReader = std::function<const char*(const char* name)>;

// The per-user folders of an installed Tessiv, by the XDG base directory rules: Setting.ini (and any other
// setting file) in $XDG_CONFIG_HOME/tessiv, default ~/.config/tessiv; log.txt in $XDG_STATE_HOME/tessiv,
// default ~/.local/state/tessiv. A variable that is empty or not an absolute path counts as unset. Empty when
// the default is needed and HOME is not an absolute path either.
std::filesystem::path UserConfigDir(const EnvironmentReader& environment);
std::filesystem::path UserStateDir(const EnvironmentReader& environment);

// Creates the folder and each missing parent with mode 0700; a folder that already exists keeps its mode.
bool CreatePrivateDir(const std::filesystem::path& dir, std::error_code& error);

// Each folder on its own: one that cannot be used is empty, with the reason in plain words beside it, and the
// other is still given.
struct UserFolders {
    std::filesystem::path config;
    std::filesystem::path state;
    std::string configError;
    std::string stateError;
};

// Both folders, created on first use. Never throws for what it finds on disk (link loops, files in the way,
// missing permissions): that becomes the folder's error.
UserFolders PrepareUserFolders(const EnvironmentReader& environment);
