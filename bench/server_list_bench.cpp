// Opening the server list dialog on a long list: construction plus show, where the list is filled.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QTableWidget>

#include "bench/bench_support.h"
#include "servers/server_entry.h"
#include "servers/server_lists.h"
#include "servers/ui/server_list_dialog.h"

namespace {

std::vector<std::string> ManyEntries(int count) {
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string ip = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                         std::to_string(i % 256);
        std::string entry = entry::Build("Center-" + std::to_string(i), ip);
        if (i % 3 == 0) entry = entry::WithFlag(entry, entry::kPausedFlag);
        entries.push_back(std::move(entry));
    }
    return entries;
}

void BM_ServerListDialog_Open(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    TempDir dir;
    ServerLists lists;
    lists.Reset(ManyEntries(count));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto dialog = std::make_unique<CServerInfodlg>(lists, dir / "Setting.ini");
        dialog->show();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        auto* list = dialog->findChild<QTableWidget*>(QStringLiteral("m_listServers"));
        if (list == nullptr || list->rowCount() != count) {
            state.SkipWithError("the list does not show every entry");
            break;
        }
        // Destroyed without closing: closing would save the entries, which is not what is measured here.
        dialog.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ServerListDialog_Open)->Arg(10'000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
