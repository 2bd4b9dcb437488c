#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "tools/scenario_file.h"
#include "tools/status_host.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: tessiv-testhost --serve PORT=FILE [--serve PORT=FILE ...]\n"
        "\n"
        "Serves Tessiv status reports over HTTP on 127.0.0.1, one host per --serve, each on its own\n"
        "PORT (0 picks a free one) answering GET %s\n"
        "from its scenario FILE; other paths answer 404. The file is read again on every request,\n"
        "so editing it changes the answers while the host runs; a missing or bad file answers 500.\n"
        "Reports are sent in GBK. Stop with Ctrl+C (SIGINT) or SIGTERM.\n"
        "\n"
        "Scenario file (UTF-8, one directive a line):\n"
        "%s"
        "\n"
        "Example, a host that alternates between healthy and a disk-space fault:\n"
        "  app 数据采集 | now\n"
        "  ---\n"
        "  app 空间不足 | now\n"
        "\n"
        "Each host prints one line when it is ready: URL FILE\n",
        kStatusPath, kScenarioFormatHelp);
}

struct Serve {
    int port = 0;
    std::filesystem::path file;
};

bool ParseServe(const char* argument, Serve& serve) {
    const char* equals = std::strchr(argument, '=');
    if (equals == nullptr || equals[1] == '\0') return false;
    try {
        std::size_t used = 0;
        const std::string port(argument, equals);
        serve.port = std::stoi(port, &used);
        if (used != port.size() || serve.port < 0 || serve.port > 65535) return false;
    } catch (const std::exception&) {
        return false;
    }
    serve.file = std::filesystem::absolute(equals + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Serve> serves;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        Serve serve;
        if (argument == "--serve" && i + 1 < argc && ParseServe(argv[i + 1], serve)) {
            serves.push_back(serve);
            ++i;
            continue;
        }
        std::fprintf(stderr, "tessiv-testhost: bad argument '%s'; see --help\n", argv[i]);
        return 2;
    }
    if (serves.empty()) {
        PrintUsage(stderr);
        return 2;
    }

    // Blocked before any thread starts, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::list<StatusHost> hosts;
    try {
        for (const Serve& serve : serves) {
            const StatusHost& host = hosts.emplace_back(
                [file = serve.file](int request) {
                    return ScenarioFromFile(file, request, std::time(nullptr));
                },
                serve.port);
            std::printf("%s %s\n", host.url().c_str(), serve.file.c_str());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessiv-testhost: %s\n", error.what());
        return 1;
    }
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    hosts.clear();
    return 0;
}
