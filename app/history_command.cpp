#include "app/history_command.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/history_report.h"
#include "history/history_store.h"
#include "locations/file_locations.h"
#include "locations/module_dir.h"

namespace {

// Where the window keeps log.txt, and so history.sqlite; nothing is created here.
std::filesystem::path HistoryFolder() {
#ifdef TESSIV_USER_FILES
    const EnvironmentReader environment = [](const char* name) -> const char* { return std::getenv(name); };
    std::error_code error;
    for (const std::filesystem::path& folder : {UserStateDir(environment), UserConfigDir(environment)})
        if (!folder.empty() && std::filesystem::exists(folder / history::kHistoryFileName, error))
            return folder;
    if (std::filesystem::path state = UserStateDir(environment); !state.empty()) return state;
#endif
    return GetModuleDir();
}

}  // namespace

int RunHistoryCommand(int argc, char** argv, const std::filesystem::path& folder) {
    const std::vector<std::string> args(argv, argv + argc);
    std::string error;
    const auto request = history::ParseReportRequest(args, error);
    if (!request) {
        std::cerr << "tessiv: " << error << "\n" << history::kReportUsage;
        return 2;
    }
    if (!folder.empty()) {
        // As the monitor takes --data-dir: a folder, or a usage error.
        std::error_code code;
        const bool isFolder = std::filesystem::is_directory(folder, code);
        if (code) {
            std::cerr << "tessiv: " << folder.string() << " cannot be read (" << code.message() << ")\n";
            return 1;
        }
        if (!isFolder) {
            std::cerr << "tessiv: --data-dir " << folder.string() << ": not a folder\n";
            return 2;
        }
    }
    return history::PrintReport(*request,
                                (folder.empty() ? HistoryFolder() : folder) / history::kHistoryFileName,
                                history::Clock::now(), std::cout, std::cerr);
}
