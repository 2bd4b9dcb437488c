// Loading a long Setting.ini.

#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_support.h"
#include "servers/server_entry.h"
#include "servers/setting_file.h"
#include "text/gbk.h"

namespace {

void BM_LoadSettingFile(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    TempDir dir;
    const std::string gbkName = gbk::FromUtf8("中心");
    std::string content;
    for (int i = 0; i < count; ++i) {
        std::string ip = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                         std::to_string(i % 256);
        content += entry::Build(gbkName + std::to_string(i), ip) + "\r\n";
    }
    const auto file = dir / "Setting.ini";
    WriteFileBytes(file, content);
    for (auto _ : state) {
        std::vector<std::string> entries = LoadServerEntries(file);
        if (entries.size() != static_cast<std::size_t>(count)) {
            state.SkipWithError("not every line was loaded");
            break;
        }
        benchmark::DoNotOptimize(entries.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(content.size()));
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_LoadSettingFile)->Arg(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace
