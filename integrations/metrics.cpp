#include "integrations/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "config/endpoint_connections.h"
#include "integrations/notice.h"
#include "polling/status_query.h"
#include "ports/round_observer.h"

namespace {

template <typename Builder>
auto& Build(Builder builder, const char* name, const char* help, prometheus::Registry& registry) {
    return builder.Name(name).Help(help).Register(registry);
}

}  // namespace

MetricsEndpoint::MetricsEndpoint(const std::optional<ListenAddress>& address)
    : m_registry(std::make_shared<prometheus::Registry>()),
      m_up(&Build(prometheus::BuildGauge(), "tessiv_server_up",
                  "1 when the host's last report was normal, 0 on a fault; absent while unknown",
                  *m_registry)),
      m_paused(&Build(prometheus::BuildGauge(), "tessiv_server_paused", "1 when the entry is not polled",
                      *m_registry)),
      m_duration(&Build(prometheus::BuildGauge(), "tessiv_query_duration_seconds",
                        "How long the last status query took", *m_registry)),
      m_failures(&Build(prometheus::BuildGauge(), "tessiv_connection_failures",
                        "Consecutive queries that did not get a report", *m_registry)),
      m_outageStarted(
          &Build(prometheus::BuildGauge(), "tessiv_outage_started_timestamp_seconds",
                 "When the host's current outage started (its first fault after a normal report), in "
                 "seconds since the epoch; absent while it is normal",
                 *m_registry)),
      m_faults(&Build(prometheus::BuildCounter(), "tessiv_faults_total",
                      "Alarms raised, by server and category", *m_registry)),
      m_pending(&Build(prometheus::BuildGauge(), "tessiv_server_pending",
                       "1 while the entry's faults wait for more faulty rounds before they alarm",
                       *m_registry)),
      m_acknowledged(&Build(prometheus::BuildGauge(), "tessiv_server_acknowledged",
                            "1 while an operator has acknowledged the entry's fault", *m_registry)),
      m_channelSent(&Build(prometheus::BuildCounter(), "tessiv_channel_sent_total",
                           "Messages delivered, by channel", *m_registry)),
      m_channelFailed(&Build(prometheus::BuildCounter(), "tessiv_channel_failed_total",
                             "Messages refused or given up after their tries, by channel", *m_registry)),
      m_alarmActive(&Build(prometheus::BuildGauge(), "tessiv_alarm_active",
                           "1 from an alarm until every host is normal again", *m_registry)
                         .Add({})),
      m_rounds(&Build(prometheus::BuildCounter(), "tessiv_rounds_total", "Poll rounds completed", *m_registry)
                    .Add({})),
      m_lastRoundEnd(&Build(prometheus::BuildGauge(), "tessiv_last_round_end_timestamp_seconds",
                            "When the last poll round ended, in seconds since the epoch", *m_registry)),
      // A round of hundreds of hosts takes many minutes; this shows it is still going.
      m_lastEntry(&Build(prometheus::BuildGauge(), "tessiv_last_entry_timestamp_seconds",
                         "When the running or last round last handled an entry, in seconds since the epoch",
                         *m_registry)),
      m_address(address.value_or(ListenAddress{})),
      m_exposer(address ? std::make_unique<prometheus::Exposer>(address->Text(), 1) : nullptr) {
    if (m_exposer) m_exposer->RegisterCollectable(m_registry);
}

std::function<std::string()> MetricsEndpoint::Scraper() const {
    return [registry = m_registry] { return prometheus::TextSerializer().Serialize(registry->Collect()); };
}

// civetweb's listener looks at its stop flag only when a connection comes or after 2 s, and a worker sending
// a scrape to a client that does not read waits up to its request time-out (30 s). Knocking and shutting
// down the served connections until the server is gone keeps the monitor's stop, and a reload that moves
// the endpoint, from waiting for either.
MetricsEndpoint::~MetricsEndpoint() {
    StopServing();
}

void MetricsEndpoint::StopServing() {
    if (!m_exposer) return;
    const int port = Port();
    std::atomic<bool> stopped{false};
    std::thread knocker([&] {
        while (!stopped.load()) {
            KnockListener(m_address.host, port);
            ShutDownAcceptedConnections(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    m_exposer.reset();
    stopped = true;
    knocker.join();
}

void MetricsEndpoint::Listen(const ListenAddress& address) {
    StopServing();
    m_address = address;
    m_exposer = std::make_unique<prometheus::Exposer>(address.Text(), 1);
    m_exposer->RegisterCollectable(m_registry);
}

int MetricsEndpoint::Port() const {
    if (!m_exposer) return 0;
    const std::vector<int> ports = m_exposer->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

void MetricsEndpoint::EntryPolled(const EntryResult& result) {
    const Key key{Utf8FromGbk(result.name), Utf8FromGbk(result.url)};
    const prometheus::Labels labels{{"server", key.first}, {"address", key.second}};
    const std::optional<std::uint32_t> failures = FailureCount(result.url);

    std::lock_guard hold(m_mutex);
    if (m_lastEntryTime == nullptr) m_lastEntryTime = &m_lastEntry->Add({});
    m_lastEntryTime->SetToCurrentTime();
    m_seen.insert(key);
    Series& series = m_series[key];
    if (series.paused == nullptr) {
        series.paused = &m_paused->Add(labels);
        series.failures = &m_failures->Add(labels);
    }
    series.paused->Set(result.paused ? 1 : 0);
    series.failures->Set(failures.value_or(0));
    if (!result.paused) {
        if (series.duration == nullptr) series.duration = &m_duration->Add(labels);
        series.duration->Set(result.queryTime.count());
    }
    if (result.normal) {
        if (series.up == nullptr) series.up = &m_up->Add(labels);
        series.up->Set(*result.normal ? 1 : 0);
    } else if (series.up != nullptr) {
        m_up->Remove(series.up);
        series.up = nullptr;
    }
    // An outage lasts through rounds without a report; it ends with a normal one, or when the entry is
    // paused or leaves the list.
    if (result.normal == false && series.outageStarted == nullptr) {
        series.outageStarted = &m_outageStarted->Add(labels);
        series.outageStarted->SetToCurrentTime();
    } else if ((result.normal == true || result.paused) && series.outageStarted != nullptr) {
        m_outageStarted->Remove(series.outageStarted);
        series.outageStarted = nullptr;
    }
}

void MetricsEndpoint::RoundEnded() {
    {
        std::lock_guard hold(m_mutex);
        // Entries that were not polled this round have left the list.
        for (auto it = m_series.begin(); it != m_series.end();) {
            if (m_seen.contains(it->first)) {
                ++it;
                continue;
            }
            Remove(it->second);
            it = m_series.erase(it);
        }
        m_seen.clear();
        // Absent until the first round ends, rather than a 1970 time that looks like rounds stopped long ago.
        if (m_lastRoundEndTime == nullptr) m_lastRoundEndTime = &m_lastRoundEnd->Add({});
        m_lastRoundEndTime->SetToCurrentTime();
    }
    m_rounds->Increment();
}

void MetricsEndpoint::Remove(Series& series) {
    if (series.up != nullptr) m_up->Remove(series.up);
    if (series.paused != nullptr) m_paused->Remove(series.paused);
    if (series.duration != nullptr) m_duration->Remove(series.duration);
    if (series.failures != nullptr) m_failures->Remove(series.failures);
    if (series.outageStarted != nullptr) m_outageStarted->Remove(series.outageStarted);
    if (series.pending != nullptr) m_pending->Remove(series.pending);
    if (series.acknowledged != nullptr) m_acknowledged->Remove(series.acknowledged);
}

void MetricsEndpoint::SetPending(const std::string& name, const std::string& url, bool pending) {
    Mark(*m_pending, &Series::pending, name, url, pending);
}

void MetricsEndpoint::SetAcknowledged(const std::string& name, const std::string& url, bool acknowledged) {
    Mark(*m_acknowledged, &Series::acknowledged, name, url, acknowledged);
}

void MetricsEndpoint::Mark(prometheus::Family<prometheus::Gauge>& family, prometheus::Gauge* Series::*gauge,
                           const std::string& name, const std::string& url, bool on) {
    const Key key{Utf8FromGbk(name), Utf8FromGbk(url)};
    std::lock_guard hold(m_mutex);
    prometheus::Gauge*& series = m_series[key].*gauge;
    if (on && series == nullptr) {
        series = &family.Add({{"server", key.first}, {"address", key.second}});
        series->Set(1);
    } else if (!on && series != nullptr) {
        family.Remove(series);
        series = nullptr;
    }
}

void MetricsEndpoint::FaultRaised(const std::string& server, const std::string& category) {
    m_faults->Add({{"server", server}, {"category", category}}).Increment();
}

void MetricsEndpoint::ChannelResult(const std::string& channel, bool sent) {
    (sent ? m_channelSent : m_channelFailed)->Add({{"channel", channel}}).Increment();
}

void MetricsEndpoint::SetAlarmActive(bool active) {
    m_alarmActive->Set(active ? 1 : 0);
}
