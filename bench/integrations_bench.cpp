// What the integrations add to a round: the observers' calls, made on the worker and the window's thread,
// with the hook command, the webhook and the metrics endpoint all on; and the memory the endpoint takes.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <thread>

#include "app/tessiv_conf.h"
#include "bench/bench_support.h"
#include "integrations/integrations.h"
#include "tests/support/free_port.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kEntries = 10;

// A webhook receiver that takes every POST at once.
class Sink {
public:
    Sink() {
        m_server.Post("/hook",
                      [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(1ms);
    }
    ~Sink() {
        m_server.stop();
        m_thread.join();
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/hook"; }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

std::vector<EntryResult> Entries() {
    std::vector<EntryResult> entries;
    for (std::size_t i = 0; i < kEntries; ++i)
        entries.push_back(
            {i, gbk::FromUtf8("中心-" + std::to_string(i)),
             "http://192.0.2." + std::to_string(i) + ":89/Interface/tarv/tarvAction_appreg.action", false,
             i != 0, 3ms});
    return entries;
}

// One round of ten entries with one fault, its alarm and the all-clear after it. Argument 0: no
// tessiv.conf; 1: hook command, webhook and metrics on.
void BM_Integrations_RoundObservers(benchmark::State& state) {
    TempDir dir;
    Sink receiver;
    if (state.range(0) == 1)
        WriteFileBytes(dir / "tessiv.conf",
                       "[hooks]\ncommand = true\nwebhook = " + receiver.url() +
                           "\n[metrics]\nlisten = 127.0.0.1:" + std::to_string(FreePort()) + "\n");
    Integrations integrations;
    integrations.Start(ReadTessivConf(dir.path()).integrations);
    const std::vector<EntryResult> entries = Entries();
    AlarmEvent alarm{
        gbk::FromUtf8("001 <2012-05-06 06:00:00> ------ 中心-0 位置服务器 2012-05-06 06:00:00 异常 ------"),
        entries[0].name,
        entries[0].url,
        FaultCategory::ServerFault,
        true,
        true,
        std::chrono::system_clock::now()};
    for (auto _ : state) {
        for (const EntryResult& entry : entries) integrations.EntryPolled(entry);
        integrations.AlarmRaised(alarm);
        integrations.RoundEnded(kEntries);
        integrations.AllClear();
    }
}
BENCHMARK(BM_Integrations_RoundObservers)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Resident memory before and after starting the metrics endpoint and serving a scrape of ten entries.
void BM_Integrations_MetricsMemory(benchmark::State& state) {
    TempDir dir;
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten = 127.0.0.1:" + std::to_string(FreePort()) + "\n");
    double before = 0;
    double after = 0;
    for (auto _ : state) {
        before = ResidentKiB();
        Integrations integrations;
        integrations.Start(ReadTessivConf(dir.path()).integrations);
        for (const EntryResult& entry : Entries()) integrations.EntryPolled(entry);
        integrations.RoundEnded(kEntries);
        httplib::Client client("127.0.0.1", integrations.Metrics()->Port());
        auto scrape = client.Get("/metrics");
        if (!scrape || scrape->status != 200) {
            state.SkipWithError("no scrape");
            break;
        }
        after = ResidentKiB();
    }
    state.counters["rss_before_MiB"] = before / 1024.0;
    state.counters["rss_added_KiB"] = after - before;
}
BENCHMARK(BM_Integrations_MetricsMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
