#include "web/status_web.h"

#include <exception>
#include <utility>

#include "history/history_records.h"
#include "web/status_render.h"

namespace web {

StatusWeb::StatusWeb() = default;

StatusWeb::~StatusWeb() {
    m_server.reset();
    {
        std::lock_guard hold(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_renderer.joinable()) m_renderer.join();
}

void StatusWeb::Start(Notice notice, std::filesystem::path historyFile) {
    m_notice = std::move(notice);
    m_historyFile = std::move(historyFile);
    m_renderer = std::thread([this] { Render(); });
}

void StatusWeb::Configure(const WebConfig& config, MetricsScrape metrics) {
    const bool withMetrics = static_cast<bool>(metrics);
    {
        std::lock_guard hold(m_mutex);
        m_metrics = std::move(metrics);
        if (m_showUrls != config.showUrls) m_again = true;
        m_showUrls = config.showUrls;
    }
    m_wake.notify_all();
    const bool moved = !m_server || !config.listen || m_server->Address() != *config.listen;
    if (m_server && moved) m_server.reset();
    if (!config.listen || !moved) return;
    WebContent content;
    content.current = [this] { return Current(); };
    content.outages = [this](int days) { return Outages(days); };
    content.metrics = [this] {
        std::lock_guard hold(m_mutex);
        return m_metrics;
    };
    try {
        m_server = std::make_unique<WebServer>(*config.listen, std::move(content));
        if (!config.listen->loopback && m_notice)
            m_notice("the status page is reachable beyond this machine at http://" + config.listen->Text() +
                     "/" +
                     (withMetrics ? ", the metrics at http://" + config.listen->Text() + "/metrics" : ""));
    } catch (const std::exception&) {
        if (m_notice)
            m_notice("the status page cannot listen on " + config.listen->Text() +
                     " (port in use, or not an address of this machine); it stays off");
    }
}

std::optional<ListenAddress> StatusWeb::Listening() const {
    if (!m_server) return std::nullopt;
    return m_server->Address();
}

int StatusWeb::Port() const {
    return m_server ? m_server->Port() : 0;
}

void StatusWeb::Publish(std::vector<ListedHost> listed) {
    {
        std::lock_guard hold(m_mutex);
        m_pending = std::move(listed);
    }
    m_wake.notify_all();
}

std::shared_ptr<const WebContent::Rendered> StatusWeb::Current() const {
    std::lock_guard hold(m_mutex);
    return m_rendered;
}

history::HistoryReader* StatusWeb::Reader(std::unique_ptr<history::HistoryReader>& reader) {
    if (!reader && !m_historyFile.empty()) {
        std::string error;
        reader = history::HistoryReader::Open(m_historyFile, error);
    }
    return reader.get();
}

std::optional<std::string> StatusWeb::Outages(int days) {
    bool showUrls = false;
    {
        std::lock_guard hold(m_mutex);
        showUrls = m_showUrls;
    }
    const TimePoint now = std::chrono::system_clock::now();
    std::lock_guard hold(m_queryMutex);
    if (m_historyFile.empty()) return OutagesJson({}, days, now, showUrls);
    try {
        history::HistoryReader* reader = Reader(m_queryReader);
        if (reader == nullptr) return std::nullopt;
        return OutagesJson(RecentOutages(*reader, now, days), days, now, showUrls);
    } catch (const std::exception&) {
        m_queryReader.reset();  // opened afresh next time: the file may have been replaced
        return std::nullopt;
    }
}

// The renderer's loop: one page and one status for each list handed over, the latest only.
void StatusWeb::Render() {
    std::vector<ListedHost> listed;
    for (;;) {
        bool showUrls = false;
        std::uint64_t generation = 0;
        {
            std::unique_lock hold(m_mutex);
            m_wake.wait(hold, [&] { return m_stop || m_pending || m_again; });
            if (m_stop) return;
            if (m_pending) listed = std::move(*m_pending);
            m_pending.reset();
            m_again = false;
            showUrls = m_showUrls;
            generation = ++m_generation;
        }
        StatusSnapshot snapshot = m_board.Hosts(listed);
        std::vector<OutageView> outages;
        try {
            if (history::HistoryReader* reader = Reader(m_renderReader)) {
                AddHistory(snapshot, *reader);
                outages = RecentOutages(*reader, snapshot.generated, kPageOutageDays);
            }
        } catch (const std::exception&) {
            m_renderReader.reset();
            snapshot.history = false;
            outages.clear();
        }
        auto rendered = std::make_shared<WebContent::Rendered>();
        rendered->page = StatusPage(snapshot, outages, showUrls);
        rendered->status = StatusJson(snapshot, showUrls);
        rendered->tag = std::to_string(generation);
        std::lock_guard hold(m_mutex);
        m_rendered = std::move(rendered);
    }
}

}  // namespace web
