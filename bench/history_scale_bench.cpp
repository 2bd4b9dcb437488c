// tessiv-history-scale-bench: what reading a large history costs. Writes the history a year of a flapping
// fleet leaves (100 hosts; hourly sums for the year; for the last 14 days a round a minute with every host
// in fault every other round: 2.0 M rounds, 1.0 M outages), then runs `tessiv --history` on it as a user
// would, each a process of its own, and times the history window's queries in this process.
//
//   tessiv-history-scale-bench [--file PATH] [--tessiv PATH]
//
// --file keeps the generated file there (and reuses it when it exists); --tessiv runs another build of the
// executable, to compare. Prints each figure beside its target; exit status 1 when one is missed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "history/history_events.h"
#include "history/history_store.h"
#include "history/sqlite_handle.h"
#include "tests/history/flapping_history.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

bool Report(const std::string& what, double value, double target, const char* unit) {
    const bool met = value <= target;
    std::printf("%-58s %9.2f %-3s (target <= %.1f %s)%s\n", what.c_str(), value, unit, target, unit,
                met ? "" : "  MISSED");
    return met;
}

struct Run {
    bool ok = false;
    double seconds = 0;
    double maxRssMiB = 0;
};

// The executable with its output to /dev/null; its wall time and peak resident memory.
Run RunTessiv(const std::string& exe, std::vector<std::string> args) {
    args.insert(args.begin(), exe);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    Run run;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return run;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return run;
    run.seconds = Seconds(std::chrono::steady_clock::now() - started);
    run.maxRssMiB = static_cast<double>(usage.ru_maxrss) / 1024;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

std::int64_t Count(const std::filesystem::path& file, const char* table) {
    auto db = history::sql::Open(file.string(), SQLITE_OPEN_READONLY);
    history::sql::Statement count(db.get(), std::string("SELECT count(*) FROM ") + table);
    return count.Step() ? count.Int(0) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path file;
    std::string exe = TESSIV_EXECUTABLE;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--file") == 0) file = argv[i + 1];
        if (std::strcmp(argv[i], "--tessiv") == 0) exe = argv[i + 1];
    }
    TempDir dir;
    if (file.empty()) file = dir / history::kHistoryFileName;
    const history::TimePoint now = history::Clock::now();
    std::error_code missing;
    if (!std::filesystem::exists(file, missing)) {
        const auto writing = std::chrono::steady_clock::now();
        WriteFlappingHistory(file, FlappingShape{}, now);
        std::printf("wrote %s in %.1f s\n", file.c_str(),
                    Seconds(std::chrono::steady_clock::now() - writing));
    }
    std::printf("%lld rounds, %lld outages, %lld hourly sums, %.0f MiB\n",
                static_cast<long long>(Count(file, "rounds")), static_cast<long long>(Count(file, "outages")),
                static_cast<long long>(Count(file, "hours")),
                static_cast<double>(std::filesystem::file_size(file)) / (1024 * 1024));

    bool met = true;
    const std::string dataDir = file.parent_path().string();
    struct Case {
        std::vector<std::string> args;
        double seconds;  // target, 0: none
        double mib;
    };
    const Case cases[] = {
        {{"--history", "uptime", "--days", "30"}, 0.3, 64},
        {{"--history", "uptime", "--days", "7"}, 0.3, 64},
        {{"--history", "outages", "--days", "14", "--csv"}, 0, 64},
        {{"--history", "outages", "--days", "1", "--csv"}, 0, 64},
    };
    for (const Case& test : cases) {
        std::vector<std::string> args = test.args;
        args.insert(args.end(), {"--data-dir", dataDir});
        Run best;
        for (int run = 0; run < 3; ++run) {
            const Run done = RunTessiv(exe, args);
            if (!done.ok) {
                std::printf("tessiv %s failed\n", test.args[1].c_str());
                met = false;
                break;
            }
            if (run == 0 || done.seconds < best.seconds) best.seconds = done.seconds;
            best.maxRssMiB = std::max(best.maxRssMiB, done.maxRssMiB);
        }
        std::string name = "tessiv";
        for (const std::string& arg : test.args) name += " " + arg;
        if (test.seconds > 0)
            met &= Report(name + ": time", best.seconds, test.seconds, "s");
        else
            std::printf("%-58s %9.2f s\n", (name + ": time").c_str(), best.seconds);
        met &= Report(name + ": max RSS", best.maxRssMiB, test.mib, "MiB");
    }

    // The history window's reads for 30 days: the hosts with 180 stretches, then its first page of outages.
    {
        std::string error;
        auto reader = history::HistoryReader::Open(file, error);
        if (!reader) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const auto reading = std::chrono::steady_clock::now();
            const auto hosts = reader->Summaries(now - std::chrono::days(30), now, 180);
            int shown = 0;
            reader->VisitOutages(now - std::chrono::days(30), now, nullptr, nullptr, nullptr,
                                 [&](const history::OutageRecord&, const history::OutageKey&) {
                                     return ++shown < history::kOutagePage;
                                 });
            best = std::min(best, Seconds(std::chrono::steady_clock::now() - reading));
            met &= hosts.size() == 100;
        }
        met &= Report("the window's 30 days (hosts, first page of outages)", best * 1000, 300, "ms");
    }
    std::puts(met ? "tessiv-history-scale-bench: all targets met"
                  : "tessiv-history-scale-bench: TARGET MISSED");
    return met ? 0 : 1;
}
