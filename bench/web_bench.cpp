// The status page for 1 000 hosts with a week of history: what rendering it after a round costs (on the
// page's own thread), and what a browser or a script waits for and receives (over loopback HTTP).

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "polling/round_observers.h"
#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "web/status_render.h"
#include "web/status_web.h"

namespace {

using namespace std::chrono_literals;

constexpr int kHosts = 1000;
// 1 000 hosts 2 s apart and 60 s between rounds: a round about every 34 minutes.
constexpr auto kRoundEvery = 34min;

EntryResult Entry(int i, bool faulty) {
    EntryResult result;
    result.position = static_cast<std::size_t>(i);
    result.name = gbk::FromUtf8("中心-" + std::to_string(i));
    result.url = "http://10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250) +
                 ":89/Interface/tarv/tarvAction_appreg.action";
    result.normal = !faulty;
    result.queryTime = 30ms;
    if (faulty)
        result.faults.push_back({"001 <2026-12-09 08:00:00> ------ " + result.name +
                                     gbk::FromUtf8(" 空间不足 2026-12-09 07:59:00.0 异常 ------"),
                                 FaultCategory::DiskSpace});
    return result;
}

// A week of rounds in which one host in 20 has an outage of a few rounds now and then, and 20 are in one now.
struct Fleet {
    TempDir dir;
    web::StatusWeb web;
    std::vector<web::ListedHost> listed;

    Fleet() {
        const auto file = dir / "history.sqlite";
        std::atomic<history::TimePoint> now{history::Clock::now() - 7 * 24h};
        {
            history::HistoryStore store;
            history::HistoryOptions options;
            options.clock = [&now] { return now.load(); };
            store.Start(file, options);
            RoundObservers rounds{&store, &web};
            for (int round = 0; now.load() < history::Clock::now(); ++round) {
                for (int i = 0; i < kHosts; ++i) {
                    const bool faulty = (i % 20 == 0 && round % 40 < 3) || (i % 50 == 1 && round > 200);
                    rounds.EntryPolled(Entry(i, faulty));
                }
                rounds.RoundEnded(kHosts);
                now = now.load() + kRoundEvery;
            }
            store.Flush();
        }
        for (int i = 0; i < kHosts; ++i) {
            const EntryResult entry = Entry(i, false);
            listed.push_back({entry.name, entry.url, false, std::nullopt});
        }
        web.Start({}, file);
    }
};

Fleet& TheFleet() {
    static Fleet fleet;
    return fleet;
}

// The renderer's work after a round: the hosts, the history read through its own connection, the page and
// the JSON.
void BM_Web_RenderAfterRound(benchmark::State& state) {
    Fleet& fleet = TheFleet();
    std::string error;
    auto reader = history::HistoryReader::Open(fleet.dir / "history.sqlite", error);
    std::size_t bytes = 0;
    for (auto _ : state) {
        web::StatusSnapshot snapshot = fleet.web.Now(fleet.listed);
        web::AddHistory(snapshot, *reader);
        const auto outages = web::RecentOutages(*reader, snapshot.generated, web::kPageOutageDays);
        const std::string page = web::StatusPage(snapshot, outages, false);
        const std::string json = web::StatusJson(snapshot, false);
        bytes = page.size();
        benchmark::DoNotOptimize(json);
    }
    state.counters["page_KB"] = static_cast<double>(bytes) / 1000;
}
BENCHMARK(BM_Web_RenderAfterRound)->UseRealTime()->Unit(benchmark::kMillisecond);

// What a client waits for: one GET of the page, the status JSON or the week's outages, a new connection each.
void BM_Web_Serve(benchmark::State& state) {
    static const char* const kPaths[] = {"/", "/api/status", "/api/outages?days=7"};
    const char* path = kPaths[state.range(0)];
    state.SetLabel(path);
    Fleet& fleet = TheFleet();
    fleet.web.Configure({ListenAddress{"127.0.0.1", 0, true}, false}, {});
    fleet.web.Publish(fleet.listed);
    httplib::Client client("127.0.0.1", fleet.web.Port());
    while (client.Get("/api/status")->status != 200) std::this_thread::sleep_for(10ms);
    std::size_t bytes = 0;
    for (auto _ : state) {
        httplib::Client fresh("127.0.0.1", fleet.web.Port());
        const httplib::Result got = fresh.Get(path);
        if (!got || got->status != 200) state.SkipWithError("no answer");
        bytes = got ? got->body.size() : 0;
    }
    state.counters["KB"] = static_cast<double>(bytes) / 1000;
}
BENCHMARK(BM_Web_Serve)->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
