#include "app/monitor_locations.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "locations/file_locations.h"
#include "locations/module_dir.h"

MonitorSettings MonitorLocations(const std::filesystem::path& dataDir, std::string& error) {
    MonitorSettings settings;
    if (!dataDir.empty()) {
        std::error_code code;
        const std::filesystem::path folder = std::filesystem::absolute(dataDir, code);
        if (code || !std::filesystem::is_directory(folder, code)) {
            error = dataDir.string() + ": " + (code ? code.message() : std::string("not a folder"));
            return settings;
        }
        settings.dataDir = folder;
        settings.logDir = folder;
        return settings;
    }
#ifdef TESSIV_USER_FILES
    // An installed Tessiv cannot write beside its executable: its files live in the user's XDG folders. A
    // folder that cannot be used costs only the files that belong in it.
    UserFolders folders =
        PrepareUserFolders([](const char* name) -> const char* { return std::getenv(name); });
    settings.dataDir = folders.config;
    settings.logDir = folders.state;
    if (!folders.configError.empty())
        std::fprintf(stderr, "tessiv: %s; Setting.ini stays beside the executable\n",
                     folders.configError.c_str());
    if (!folders.stateError.empty())
        std::fprintf(stderr, "tessiv: %s; log.txt stays beside Setting.ini\n", folders.stateError.c_str());
#endif
    // Settled here, not by the monitor, so that the folder is ours before the monitor reads Setting.ini.
    if (settings.dataDir.empty()) settings.dataDir = GetModuleDir();
    return settings;
}
