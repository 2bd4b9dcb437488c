// Resident memory of the running monitor, as one sees it from outside, against a bare Qt dialog with the same
// widgets: each a fresh process of its own, side by side in one run. The monitor is the real tessiv, in a
// folder of its own with one host on 127.0.0.1, measured once its first round is over; the history is kept
// or, with --no-history, turned off in tessiv.conf.
//   tessiv-idle-memory [--runs N]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

double ResidentKiBOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::atof(line.c_str() + 6);
    return 0;
}

pid_t Start(const std::string& program, const std::filesystem::path& folder) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(folder.c_str()) != 0) ::_exit(127);
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execl(program.c_str(), program.c_str(), nullptr);
        ::_exit(127);
    }
    return child;
}

double Stop(pid_t child) {
    const double resident = ResidentKiBOf(child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return resident;
}

// The real monitor, until its first round has asked the host and ended (the 2 s pause after the host).
double Monitor(bool history) {
    StatusHost host;
    TempDir folder;
    std::filesystem::copy_file(TESSIV_EXECUTABLE, folder / "tessiv");
    WriteFileBytes(folder / "Setting.ini", "A," + host.url() + "@1\r\n");
    if (!history) WriteFileBytes(folder / "tessiv.conf", "[history]\nenabled = false\n");
    const pid_t child = Start((folder / "tessiv").string(), folder.path());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (host.requestCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(3s);
    return Stop(child);
}

double Bare() {
    TempDir folder;
    const pid_t child = Start(TESSIV_BARE_DIALOG, folder.path());
    std::this_thread::sleep_for(5s);
    return Stop(child);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc == 3 && std::strcmp(argv[1], "--runs") == 0 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<double> bare, withHistory, without;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(Bare());
        withHistory.push_back(Monitor(true));
        without.push_back(Monitor(false));
    }
    const double b = Median(bare) / 1024, h = Median(withHistory) / 1024, n = Median(without) / 1024;
    std::printf("resident memory after the first round, median of %d runs each, a fresh process each:\n",
                runs);
    std::printf("  bare dialog with the same widgets:  %.1f MiB\n", b);
    std::printf("  tessiv, history kept (the default): %.1f MiB (%.2f x)\n", h, h / b);
    std::printf("  tessiv, history off:                %.1f MiB (%.2f x)\n", n, n / b);
    return 0;
}
