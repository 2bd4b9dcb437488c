// tessiv-scale-bench: what 1 000 hosts cost one window-less monitor. The hosts are served by status hosts on
// 127.0.0.1 in this process, so the process CPU time includes serving them; the monitor's own share is its
// thread's and the rounds' workers'. Measured:
//   - reading a 1 000-entry Setting.ini;
//   - a round at zero pacing, from one RoundFinished to the next: all hosts normal, then 10 % faulty;
//   - the same with [polling] parallel = 32, and resident memory after its 10th and 100th round;
//   - the same with the metrics endpoint and the history as round observers, then a /metrics scrape;
//   - the history's commit of one 1 000-host round and how much the database grows by it;
//   - resident memory per host, from a fresh child process with 1 host and one with 1 000.
//
//   tessiv-scale-bench [--hosts N]        (default 1000)
//
// Exit status 1 when a round, the scrape or the history did not hold what the hosts answered.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <QCoreApplication>

#include "app/tessiv_conf.h"
#include "bench/bench_support.h"
#include "bench/scale_fleet.h"
#include "core/monitor_core.h"
#include "history/history_database.h"
#include "history/history_store.h"
#include "integrations/integrations.h"
#include "polling/round_observers.h"
#include "servers/setting_file.h"
#include "servers/setting_store.h"
#include "tests/support/free_port.h"

namespace {

using namespace std::chrono_literals;

bool g_ok = true;

void Check(bool holds, const std::string& what) {
    if (holds) return;
    g_ok = false;
    std::fprintf(stderr, "tessiv-scale-bench: %s\n", what.c_str());
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::ranges::sort(values);
    return values[values.size() / 2];
}

void Row(const std::string& what, const std::string& figure) {
    std::printf("| %-58s | %s |\n", what.c_str(), figure.c_str());
}

std::string Format(const char* format, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

MonitorSettings SettingsFor(const std::filesystem::path& folder, RoundObserver* observer) {
    MonitorSettings settings;
    settings.dataDir = folder;
    settings.pacing = Pacing::Immediate();
    settings.roundObserver = observer;
    return settings;
}

// Where the clocks stood at the end of a round.
struct Mark {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double processCpu = ProcessCpuSeconds();
    double coreCpu = ThreadCpuSeconds();
    double workerCpu = 0;
    int requests = 0;
};

struct RoundCost {
    double wall = 0;        // s a round
    double processCpu = 0;  // s a round, the status hosts' serving included
    double monitorCpu = 0;  // s a round: the core's thread and the round's worker
};

RoundCost Between(const Mark& from, const Mark& to, int rounds) {
    return {std::chrono::duration<double>(to.wall - from.wall).count() / rounds,
            (to.processCpu - from.processCpu) / rounds,
            (to.coreCpu - from.coreCpu + to.workerCpu - from.workerCpu) / rounds};
}

// Runs `rounds` more rounds, marking the end of each and checking that each asked every host once and
// found the faulty ones; `last` runs at the end of the last round, before the next begins.
std::vector<Mark> MarkRounds(MonitorCore& core, const RoundMeter& meter, const Fleet& fleet, int rounds,
                             bool faulty, const std::function<void()>& last = {}) {
    std::vector<Mark> marks;
    const bool finished = AwaitRounds(core, rounds, [&](int round) {
        Mark mark;
        mark.workerCpu = meter.WorkerCpuSeconds();
        mark.requests = fleet.Requests();
        marks.push_back(mark);
        const std::vector<EntryResult> entries = meter.LastRound();
        const auto normal =
            std::ranges::count_if(entries, [](const EntryResult& e) { return e.normal == true; });
        const int wanted = fleet.Hosts() - (faulty ? fleet.FaultyHosts() : 0);
        Check(
            static_cast<int>(entries.size()) == fleet.Hosts() && normal == wanted,
            Format("a round saw %zu entries, %td normal; wanted %d normal", entries.size(), normal, wanted));
        if (round == rounds - 1 && last) last();
    });
    Check(finished, "the rounds did not finish within two minutes");
    for (std::size_t i = 1; i < marks.size(); ++i)
        Check(marks[i].requests - marks[i - 1].requests == fleet.Hosts(),
              "a round did not ask every host once");
    return marks;
}

void PrintRound(const char* what, const RoundCost& cost, int hosts) {
    Row(what, Format("%.0f ms wall, %.0f ms CPU (monitor %.0f ms) = %.0f / %.0f / %.0f us a host",
                     cost.wall * 1e3, cost.processCpu * 1e3, cost.monitorCpu * 1e3, cost.wall * 1e6 / hosts,
                     cost.processCpu * 1e6 / hosts, cost.monitorCpu * 1e6 / hosts));
}

void MeasureSettingLoad(const std::filesystem::path& folder, int hosts) {
    SettingStore store(folder / kSettingFileName);
    std::vector<double> times;
    for (int run = 0; run < 21; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<std::string> entries = store.Load();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        Check(static_cast<int>(entries.size()) == hosts, "Setting.ini did not give every entry");
    }
    Row(Format("load Setting.ini, %d entries (SettingStore::Load)", hosts),
        Format("%.2f ms (median of 21)", Median(times) * 1e3));
}

// The round's own cost: a core with nothing but the meter, all normal, then every tenth host faulty.
void MeasureRounds(const std::filesystem::path& folder, Fleet& fleet) {
    SilentView view;
    RoundMeter meter;
    MonitorCore core(SettingsFor(folder, &meter), view);
    constexpr int kRounds = 5;
    const Mark started;
    core.Start();
    const std::vector<Mark> first = MarkRounds(core, meter, fleet, 1, false);
    const std::vector<Mark> normal =
        MarkRounds(core, meter, fleet, kRounds, false, [&fleet] { fleet.SetFaulty(true); });
    const std::vector<Mark> faulty = MarkRounds(core, meter, fleet, kRounds, true);
    core.Stop();
    fleet.SetFaulty(false);
    if (first.empty() || normal.size() != kRounds || faulty.size() != kRounds) return;
    Check(!core.AlarmLog().empty() && view.IsSounding(), "the faulty hosts raised no alarm");
    PrintRound("first round, from Start", Between(started, first.back(), 1), fleet.Hosts());
    PrintRound("round, all normal (mean of 5)", Between(first.back(), normal.back(), kRounds), fleet.Hosts());
    PrintRound("round, 10 % faulty, alarms (mean of 5)", Between(normal.back(), faulty.back(), kRounds),
               fleet.Hosts());
}

// The rounds with up to `parallel` hosts asked at once; the queries' own threads are not in the monitor's
// CPU figure. Then 90 more rounds, for the memory after many.
void MeasureParallelRounds(const std::filesystem::path& folder, Fleet& fleet, int parallel) {
    SilentView view;
    RoundMeter meter;
    MonitorSettings settings = SettingsFor(folder, &meter);
    settings.parallel = parallel;
    MonitorCore core(settings, view);
    constexpr int kRounds = 5;
    core.Start();
    const std::vector<Mark> first = MarkRounds(core, meter, fleet, 1, false);
    const std::vector<Mark> normal =
        MarkRounds(core, meter, fleet, kRounds, false, [&fleet] { fleet.SetFaulty(true); });
    const std::vector<Mark> faulty = MarkRounds(core, meter, fleet, kRounds - 1, true);
    const double residentAt10 = ResidentKiB();
    const std::vector<Mark> more = MarkRounds(core, meter, fleet, 90, true);
    const double residentAt100 = ResidentKiB();
    core.Stop();
    fleet.SetFaulty(false);
    if (first.empty() || normal.size() != kRounds || faulty.size() != kRounds - 1 || more.size() != 90)
        return;
    PrintRound(Format("round, parallel = %d, all normal (mean of 5)", parallel).c_str(),
               Between(first.back(), normal.back(), kRounds), fleet.Hosts());
    PrintRound(Format("round, parallel = %d, 10 %% faulty (mean of 94)", parallel).c_str(),
               Between(normal.back(), more.back(), kRounds - 1 + 90), fleet.Hosts());
    Row(Format("resident memory, parallel = %d, after round 10 / 100", parallel),
        Format("%.1f MiB / %.1f MiB", residentAt10 / 1024, residentAt100 / 1024));
}

struct Scrape {
    long status = 0;
    std::string body;
    double seconds = 0;
};

std::size_t Append(char* data, std::size_t size, std::size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

Scrape ScrapeMetrics(int port) {
    Scrape scrape;
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &scrape.body);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    const auto start = std::chrono::steady_clock::now();
    if (curl_easy_perform(curl.get()) == CURLE_OK)
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &scrape.status);
    scrape.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return scrape;
}

int CountLines(std::string_view text, std::string_view start, std::string_view end) {
    int count = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t next = text.find('\n', at);
        if (next == std::string_view::npos) next = text.size();
        const std::string_view line = text.substr(at, next - at);
        if (line.starts_with(start) && line.ends_with(end)) ++count;
        at = next + 1;
    }
    return count;
}

void WriteMetricsConf(const std::filesystem::path& folder) {
    WriteFileBytes(folder / kConfigFileName,
                   "[metrics]\nlisten = 127.0.0.1:" + std::to_string(FreePort()) + "\n");
}

// A window-less monitor as it is run: the metrics endpoint and the history as round and alarm observers.
struct FullMonitor {
    explicit FullMonitor(const std::filesystem::path& folder)
        : rounds{&timedIntegrations, &timedHistory, &meter}, core(SettingsFor(folder, &rounds), view) {
        core.AddAlarmObserver(&integrations);
        core.AddAlarmObserver(&history);
        integrations.Start(ReadTessivConf(folder).integrations);
        history.Start(folder / history::kHistoryFileName);
    }

    Integrations integrations;
    history::HistoryStore history;
    TimedObserver timedIntegrations{integrations};
    TimedObserver timedHistory{history};
    RoundMeter meter;
    RoundObservers rounds;
    SilentView view;
    MonitorCore core;
};

history::RoundBatch BatchOf(const std::vector<EntryResult>& entries, history::TimePoint start) {
    history::RoundBatch batch;
    for (const EntryResult& entry : entries) {
        history::EntryRow row;
        row.time = start + 2s * entry.position;
        row.name = entry.name;
        row.url = entry.url;
        row.paused = entry.paused;
        row.normal = entry.normal;
        row.queryTime = std::chrono::duration_cast<std::chrono::microseconds>(entry.queryTime);
        row.faults = entry.faults;
        batch.entries.push_back(std::move(row));
    }
    batch.complete = true;
    batch.end = start + 2s * entries.size();
    return batch;
}

std::uintmax_t DatabaseBytes(const std::filesystem::path& file) {
    std::uintmax_t bytes = 0;
    for (const auto& part : {file, std::filesystem::path(file.string() + "-wal")}) {
        std::error_code error;
        const auto size = std::filesystem::file_size(part, error);
        if (!error) bytes += size;
    }
    return bytes;
}

// One real round's entries written as the store's writer writes them, a round at a time at the real pace
// (2 s a host, 60 s between rounds); the file is closed before it is measured, so the WAL is folded in.
void MeasureHistoryWrites(const std::filesystem::path& folder, const std::vector<EntryResult>& entries) {
    const std::filesystem::path file = folder / "commit.sqlite";
    const auto period = 2s * entries.size() + 60s;
    history::TimePoint round = std::chrono::floor<std::chrono::minutes>(history::Clock::now()) - 72h;
    {
        history::HistoryDatabase db(file);
        const std::vector<history::HistoryItem> items{BatchOf(entries, round)};
        db.Write(items);
    }
    const std::uintmax_t before = DatabaseBytes(file);
    constexpr int kRounds = 30;
    std::vector<double> commits;
    {
        history::HistoryDatabase db(file);
        for (int i = 0; i < kRounds; ++i) {
            round += period;
            const std::vector<history::HistoryItem> items{BatchOf(entries, round)};
            const auto start = std::chrono::steady_clock::now();
            db.Write(items);
            commits.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    const double growth = static_cast<double>(DatabaseBytes(file) - before) / kRounds;
    Check(growth > 0, "the history did not grow");
    Row(Format("history: commit of one %zu-host round", entries.size()),
        Format("%.1f ms (median of %d)", Median(commits) * 1e3, kRounds));
    Row("history: database growth a round (raw rows, kept 14 days)",
        Format("%.0f KiB = %.0f bytes a host", growth / 1024, growth / static_cast<double>(entries.size())));
}

// The rounds again with the metrics endpoint and the history on, 10 % faulty; then /metrics and the commit.
void MeasureObservers(const std::filesystem::path& folder, Fleet& fleet) {
    WriteMetricsConf(folder);
    fleet.SetFaulty(true);
    FullMonitor monitor(folder);
    if (monitor.integrations.Metrics() == nullptr) {
        Check(false, "the metrics endpoint did not start");
        return;
    }
    constexpr int kRounds = 5;
    monitor.core.Start();
    const std::vector<Mark> first = MarkRounds(monitor.core, monitor.meter, fleet, 1, true);
    const double observersBefore = monitor.timedIntegrations.Seconds() + monitor.timedHistory.Seconds();
    const double historyBefore = monitor.timedHistory.Seconds();
    const std::vector<Mark> marks = MarkRounds(monitor.core, monitor.meter, fleet, kRounds, true);
    monitor.core.Stop();
    monitor.history.Flush();
    fleet.SetFaulty(false);
    if (first.empty() || marks.size() != kRounds) return;
    Check(monitor.history.Dropped() == 0, "the history dropped rounds");
    const double calls = static_cast<double>(kRounds) * fleet.Hosts();
    PrintRound("round with metrics + history, 10 % faulty (mean of 5)",
               Between(first.back(), marks.back(), kRounds), fleet.Hosts());
    Row("metrics + history observers on the worker, a host",
        Format("%.1f us (history alone %.1f us)",
               (monitor.timedIntegrations.Seconds() + monitor.timedHistory.Seconds() - observersBefore) *
                   1e6 / calls,
               (monitor.timedHistory.Seconds() - historyBefore) * 1e6 / calls));

    std::vector<double> times;
    Scrape scrape;
    for (int run = 0; run < 21; ++run) {
        scrape = ScrapeMetrics(monitor.integrations.Metrics()->Port());
        times.push_back(scrape.seconds);
    }
    const int series = CountLines(scrape.body, "tessiv_server_up{", "");
    const int down = CountLines(scrape.body, "tessiv_server_up{", " 0");
    Check(scrape.status == 200 && series == fleet.Hosts() && down == fleet.FaultyHosts(),
          Format("the scrape gave status %ld, %d hosts, %d down", scrape.status, series, down));
    Row(Format("GET /metrics, %d hosts", fleet.Hosts()),
        Format("%zu bytes, %.1f ms (median of 21)", scrape.body.size(), Median(times) * 1e3));

    MeasureHistoryWrites(folder, monitor.meter.LastRound());
}

// The child: a full monitor of `hosts` hosts, all normal, through its first round; prints its VmRSS in KiB.
int ResidentAfterFirstRound(int hosts) {
    TempDir folder;
    Fleet fleet(folder.path(), hosts);
    WriteMetricsConf(folder.path());
    FullMonitor monitor(folder.path());
    monitor.core.Start();
    if (!AwaitRounds(monitor.core, 1)) return 1;
    monitor.history.Flush();
    std::printf("%.0f\n", ResidentKiB());
    return 0;
}

double ChildResidentKiB(int hosts) {
    const std::string command = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                                "' --resident " + std::to_string(hosts);
    const std::unique_ptr<FILE, decltype(&pclose)> child(popen(command.c_str(), "r"), pclose);
    double kib = 0;
    if (!child || std::fscanf(child.get(), "%lf", &kib) != 1) kib = 0;
    Check(kib > 0, "a child with " + std::to_string(hosts) + " hosts gave no figure");
    return kib;
}

void MeasureResident(int hosts) {
    std::vector<double> one, many;
    for (int run = 0; run < 3; ++run) {
        one.push_back(ChildResidentKiB(1));
        many.push_back(ChildResidentKiB(hosts));
    }
    const double perHost = (Median(many) - Median(one)) / (hosts - 1);
    Row("resident memory after the first round, a host",
        Format("%.1f KiB (1 host %.1f MiB, %d hosts %.1f MiB; medians of 3)", perHost, Median(one) / 1024,
               hosts, Median(many) / 1024));
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    const std::string option = argc == 3 ? argv[1] : "";
    const int value = argc == 3 ? std::atoi(argv[2]) : 1000;
    if (option == "--resident") return ResidentAfterFirstRound(value);
    if ((argc != 1 && option != "--hosts") || value < 2) {
        std::fputs("usage: tessiv-scale-bench [--hosts N]\n", stderr);
        return 2;
    }
    const int hosts = value;
    {
        TempDir folder;
        Fleet fleet(folder.path(), hosts);
        std::printf(
            "%d hosts on 127.0.0.1, zero pacing; CPU is the process's, the monitor's share in brackets\n\n",
            hosts);
        std::printf("| %-58s | %s |\n| --- | --- |\n", "what", "figure");
        MeasureSettingLoad(folder.path(), hosts);
        MeasureRounds(folder.path(), fleet);
        MeasureParallelRounds(folder.path(), fleet, 32);
        MeasureObservers(folder.path(), fleet);
    }
    MeasureResident(hosts);
    curl_global_cleanup();
    std::puts(g_ok ? "\ntessiv-scale-bench: every round, scrape and write held what the hosts answered"
                   : "\ntessiv-scale-bench: CHECK FAILED");
    return g_ok ? 0 : 1;
}
