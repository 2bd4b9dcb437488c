// One status query against a status host in this process, over the loopback interface.

#include <benchmark/benchmark.h>

#include <string>

#include "polling/status_query.h"
#include "tools/status_host.h"

namespace {

void BM_StatusQuery_LocalHost(benchmark::State& state) {
    Scenario scenario;
    for (int i = 0; i < 8; ++i)
        scenario.apps.push_back({"备份程序" + std::to_string(i), "2012-05-06 06:00:00"});
    StatusHost host(scenario);
    const std::string url = host.url();
    const std::string expected = StatusReportBody(scenario.apps);
    std::string report;
    for (auto _ : state) {
        report.clear();
        if (!QueryServerStatus(url, report) || report != expected) {
            state.SkipWithError("the query did not return the host's report");
            break;
        }
    }
}
BENCHMARK(BM_StatusQuery_LocalHost)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
