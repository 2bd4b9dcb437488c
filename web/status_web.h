#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ports/round_observer.h"
#include "web/status_model.h"
#include "web/web_config.h"
#include "web/web_server.h"

namespace history {
class HistoryReader;
}

namespace web {

// The read-only status page as an addition: told of the rounds like the others, handed the list after each
// round, it renders the page on a thread of its own (reading the history through its own read-only
// connection) and serves it as [web] asks. Neither the round's worker nor the core's thread ever waits for
// the history, the rendering or a client.
class StatusWeb final : public RoundObserver {
public:
    using Notice = std::function<void(const std::string& utf8)>;
    using MetricsScrape = std::function<std::string()>;

    StatusWeb();
    ~StatusWeb() override;
    StatusWeb(const StatusWeb&) = delete;
    StatusWeb& operator=(const StatusWeb&) = delete;

    // Where lines for the run pane go (from any thread), and the history to read, if one is kept. Once,
    // before Configure.
    void Start(Notice notice, std::filesystem::path historyFile);
    // Serves what `config` asks for now: starts, moves or stops the server. With `metrics`, /metrics is
    // served here too. Core thread.
    void Configure(const WebConfig& config, MetricsScrape metrics);
    // The address the server listens at now, if it does.
    std::optional<ListenAddress> Listening() const;
    int Port() const;

    // The list as the core holds it now, after a round or a reload. Core thread; returns at once.
    void Publish(std::vector<ListedHost> listed);
    // The hosts of `listed` as the rounds found them, without the history; any thread.
    StatusSnapshot Now(const std::vector<ListedHost>& listed) const { return m_board.Hosts(listed); }

    // RoundObserver, on the round's worker.
    void EntryPolled(const EntryResult& result) override { m_board.EntryPolled(result); }
    void RoundEnded(std::size_t entries) override { m_board.RoundEnded(entries); }

private:
    void Render();
    std::shared_ptr<const WebContent::Rendered> Current() const;
    std::optional<std::string> Outages(int days);
    history::HistoryReader* Reader(std::unique_ptr<history::HistoryReader>& reader);

    StatusBoard m_board;
    Notice m_notice;
    std::filesystem::path m_historyFile;

    mutable std::mutex m_mutex;  // guards everything below up to the thread
    std::shared_ptr<const WebContent::Rendered> m_rendered;
    std::optional<std::vector<ListedHost>> m_pending;  // waiting for the renderer
    bool m_again = false;                              // render the last list again
    std::uint64_t m_generation = 0;
    bool m_showUrls = false;
    MetricsScrape m_metrics;
    bool m_stop = false;
    std::condition_variable m_wake;

    std::unique_ptr<history::HistoryReader> m_renderReader;  // the renderer's thread only
    std::mutex m_queryMutex;
    std::unique_ptr<history::HistoryReader> m_queryReader;  // /api/outages, under m_queryMutex

    std::unique_ptr<WebServer> m_server;  // the core's thread only
    std::thread m_renderer;
};

}  // namespace web
