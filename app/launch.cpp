#include "app/launch.h"

#include <cstdio>

#include "app/history_command.h"
#include "app/monitor_command.h"
#include "app/monitor_locations.h"
#include "crash/crash_dump.h"
#include "service/standard_fds.h"
#include "text/gbk.h"

std::variant<int, Launch> BeginLaunch(int argc, char** argv, LaunchFront front) {
    const bool service = front == LaunchFront::Service;
    const char* program = service ? "tessivd" : "tessiv";
    const char* usage = service ? kServiceUsage : kLaunchUsage;
    if (!OpenClosedStandardFds()) return 1;
    if (!gbk::Available()) {
        std::fprintf(stderr,
                     "%s: this system cannot convert GBK text (the iconv GBK module is missing); "
                     "install the C library's gconv modules\n",
                     program);
        return 1;
    }
    Launch launch{ParseLaunchOptions(argc, argv, service), {}};
    LaunchOptions& options = launch.options;
    if (!options.error.empty()) {
        std::fprintf(stderr, "%s: %s\n%s", program, options.error.c_str(), usage);
        return 2;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", program, TESSIV_VERSION);
        return 0;
    }
    if (options.history)
        return RunHistoryCommand(static_cast<int>(options.rest.size()), options.rest.data(), options.dataDir);
    std::string locationError;
    launch.settings = MonitorLocations(options.dataDir, locationError);
    if (!locationError.empty()) {
        std::fprintf(stderr, "%s: --data-dir %s\n", program, locationError.c_str());
        return 2;
    }
    if (!options.command.empty()) {
        int commandArgc = 1;
        return RunMonitorCommand(commandArgc, options.rest.data(), options.command, options.commandHost,
                                 launch.settings.dataDir);
    }
    // Both fronts leave DumpFile.dmp in the current folder if they crash.
    crashdump::Install();
    return launch;
}
