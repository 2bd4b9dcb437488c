#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "integrations/config.h"

struct EntryResult;

namespace prometheus {
class Counter;
class Exposer;
class Gauge;
template <typename T>
class Family;
class Registry;
}  // namespace prometheus

// The Prometheus endpoint at /metrics: what the rounds learnt about each entry, the faults raised, whether
// an alarm is active. Updates are cheap and thread-safe; the scrape is served on civetweb's threads.
class MetricsEndpoint {
public:
    // Throws std::exception when the address cannot be bound. Without one it serves nowhere: another server
    // of ours serves Scraper() at the metrics' address.
    explicit MetricsEndpoint(const std::optional<ListenAddress>& address);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    int Port() const;  // the bound port, also when 0 was asked for; 0 while it serves nowhere
    const ListenAddress& Address() const { return m_address; }
    // Serves the same series at `address` from now on, so a scrape sees no counter start again. The old
    // address is let go first, since the new one may take its port. Throws std::exception when `address`
    // cannot be bound; then it serves nowhere.
    void Listen(const ListenAddress& address);
    // Serves nowhere from now on, keeping the series.
    void StopListening() { StopServing(); }
    bool Listening() const { return m_exposer != nullptr; }
    // The scrape's text, for a server that serves /metrics in our place; thread-safe, and usable after this
    // endpoint is gone.
    std::function<std::string()> Scraper() const;

    // `name` and `url` of the entry are GBK, as the round reports them.
    void EntryPolled(const EntryResult& result);
    void RoundEnded();
    // `server` UTF-8; `category` as in the notice.
    void FaultRaised(const std::string& server, const std::string& category);
    void SetAlarmActive(bool active);
    // The entry's faults wait for more rounds before they alarm; names GBK, as the round reports them.
    void SetPending(const std::string& name, const std::string& url, bool pending);
    // An operator acknowledged the entry's fault; names GBK.
    void SetAcknowledged(const std::string& name, const std::string& url, bool acknowledged);
    // A message to a channel (dingtalk, wecom, feishu, email) was delivered, or given up.
    void ChannelResult(const std::string& channel, bool sent);

private:
    struct Series {
        prometheus::Gauge* up = nullptr;  // absent while the state is unknown
        prometheus::Gauge* paused = nullptr;
        prometheus::Gauge* duration = nullptr;
        prometheus::Gauge* failures = nullptr;
        prometheus::Gauge* outageStarted = nullptr;  // from the first round "false" to the first "true"
        prometheus::Gauge* pending = nullptr;        // only while its faults wait for confirmation
        prometheus::Gauge* acknowledged = nullptr;   // only while its fault is acknowledged
    };
    using Key = std::pair<std::string, std::string>;  // server, address; UTF-8

    void Remove(Series& series);
    // A series of 1 while `on`, absent otherwise.
    void Mark(prometheus::Family<prometheus::Gauge>& family, prometheus::Gauge* Series::*gauge,
              const std::string& name, const std::string& url, bool on);
    void StopServing();

    std::shared_ptr<prometheus::Registry> m_registry;
    prometheus::Family<prometheus::Gauge>* m_up;
    prometheus::Family<prometheus::Gauge>* m_paused;
    prometheus::Family<prometheus::Gauge>* m_duration;
    prometheus::Family<prometheus::Gauge>* m_failures;
    prometheus::Family<prometheus::Gauge>* m_outageStarted;
    prometheus::Family<prometheus::Counter>* m_faults;
    prometheus::Family<prometheus::Gauge>* m_pending;
    prometheus::Family<prometheus::Gauge>* m_acknowledged;
    prometheus::Family<prometheus::Counter>* m_channelSent;
    prometheus::Family<prometheus::Counter>* m_channelFailed;
    prometheus::Gauge* m_alarmActive;
    prometheus::Counter* m_rounds;
    prometheus::Family<prometheus::Gauge>* m_lastRoundEnd;
    prometheus::Gauge* m_lastRoundEndTime = nullptr;
    prometheus::Family<prometheus::Gauge>* m_lastEntry;
    prometheus::Gauge* m_lastEntryTime = nullptr;

    std::mutex m_mutex;
    std::map<Key, Series> m_series;
    std::set<Key> m_seen;  // entries polled since the last round ended

    ListenAddress m_address;
    std::unique_ptr<prometheus::Exposer> m_exposer;  // last: it serves the members above until it is gone
};
