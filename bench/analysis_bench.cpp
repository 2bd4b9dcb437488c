// AnalyzeStatusReport on a full-size report: 1024 bytes (the most a query keeps) naming eight applications.

#include <benchmark/benchmark.h>

#include <ctime>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "polling/monitor_port.h"
#include "polling/report_analysis.h"
#include "servers/server_lists.h"

namespace {

// Takes the lines and drops them; counts them so the run can be checked.
class NullPort final : public MonitorPort {
public:
    void AppendRunLog(std::string line) override { Take(line); }
    void RaiseAlarm(std::string line, bool, AlarmFacts) override { Take(line); }
    void PollRefresh() override {}
    void Silence() override {}
    void ClearAlarmPane() override {}
    void ArmRoundTimer(std::chrono::milliseconds) override {}
    MuteOptions Mutes() const override { return {}; }
    ServerLists& Servers() override { return m_servers; }

    long lines = 0;

private:
    void Take(const std::string& line) {
        benchmark::DoNotOptimize(line.data());
        ++lines;
    }
    ServerLists m_servers;
};

// The eight-application sample padded with spaces between elements (never inside a value) to `size` bytes.
std::string PaddedReport(std::size_t size) {
    std::string report = SampleReport("report_eight_apps.txt");
    std::vector<std::size_t> gaps;
    for (std::size_t i = 1; i < report.size(); ++i)
        if (report[i - 1] == '>' && (report[i] == '<' || report[i] == '\n')) gaps.push_back(i);
    if (gaps.empty() || report.size() > size) return report;
    const std::size_t padding = size - report.size();
    for (std::size_t g = gaps.size(); g-- > 0;) {
        const std::size_t share = padding / gaps.size() + (g < padding % gaps.size() ? 1 : 0);
        report.insert(gaps[g], share, ' ');
    }
    return report;
}

void BM_AnalyzeReport_EightApps(benchmark::State& state) {
    const std::string report = PaddedReport(1024);
    if (report.size() != 1024) {
        state.SkipWithError("the padded report is not 1024 bytes");
        return;
    }
    const Clock clock = [] { return std::time_t{1336284489}; };
    NullPort port;
    for (auto _ : state) {
        bool normal = AnalyzeStatusReport(report, "Center-A", 1, true, port, clock);
        benchmark::DoNotOptimize(normal);
    }
    if (port.lines != 8 * static_cast<long>(state.iterations()))
        state.SkipWithError("the report did not give eight lines per analysis");
    state.SetBytesProcessed(state.iterations() * static_cast<long>(report.size()));
}
BENCHMARK(BM_AnalyzeReport_EightApps)->Unit(benchmark::kMicrosecond);

}  // namespace
