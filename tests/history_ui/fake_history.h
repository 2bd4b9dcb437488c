#pragma once

#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "history/history_events.h"
#include "history/history_records.h"

// What a fake history holds and what it was asked: shared with the reader the window owns.
struct FakeHistory {
    struct Ask {
        history::TimePoint from, to;
        int buckets = 0;
    };
    std::vector<history::HostSummary> hosts;
    std::vector<history::OutageRecord> outages;  // newest first
    std::vector<Ask> summaryAsks;
    std::vector<std::string> outageAsks;  // the host's name, "" for all
    int summariesStarted = 0;
    int summariesDone = 0;
    // The reader reads on the window's reading thread: `mutex` guards what it reads and counts, and a test
    // holding `gate` keeps host reads waiting, as a slow disk would.
    std::mutex mutex;
    std::mutex gate;

    std::unique_ptr<history::HistoryReader> Reader(std::shared_ptr<FakeHistory> self);
};

// A history that answers from memory, as the store does: outages overlapping the range, of one host or all.
class FakeReader final : public history::HistoryReader {
public:
    explicit FakeReader(std::shared_ptr<FakeHistory> data) : m_data(std::move(data)) {}
    std::vector<history::HostSummary> Summaries(history::TimePoint from, history::TimePoint to,
                                                int buckets) override {
        {
            const std::lock_guard lock(m_data->mutex);
            ++m_data->summariesStarted;
        }
        { const std::lock_guard slow(m_data->gate); }
        const std::lock_guard lock(m_data->mutex);
        m_data->summaryAsks.push_back({from, to, buckets});
        ++m_data->summariesDone;
        return m_data->hosts;
    }
    void VisitOutages(history::TimePoint from, history::TimePoint to, const std::string* name,
                      const std::string* url, const history::OutageKey* after,
                      const history::OutageVisitor& visit) override {
        const std::lock_guard lock(m_data->mutex);
        m_data->outageAsks.push_back(name != nullptr ? *name : std::string());
        // The key is the start and the position in the list, newest first.
        for (std::size_t i = 0; i < m_data->outages.size(); ++i) {
            const history::OutageRecord& outage = m_data->outages[i];
            const history::OutageKey key{history::Millis(outage.start), -static_cast<std::int64_t>(i)};
            if (after != nullptr && std::tie(key.start, key.id) >= std::tie(after->start, after->id))
                continue;
            if (name != nullptr && (outage.name != *name || url == nullptr || outage.url != *url)) continue;
            if (outage.start >= to || (outage.end && *outage.end <= from)) continue;
            if (!visit(outage, key)) return;
        }
    }
    std::map<std::pair<std::string, std::string>, history::TimePoint> OpenOutages() override {
        const std::lock_guard lock(m_data->mutex);
        std::map<std::pair<std::string, std::string>, history::TimePoint> open;
        for (const history::OutageRecord& outage : m_data->outages)
            if (!outage.end) open.emplace(std::pair{outage.name, outage.url}, outage.start);
        return open;
    }

private:
    std::shared_ptr<FakeHistory> m_data;
};

inline std::unique_ptr<history::HistoryReader> FakeHistory::Reader(std::shared_ptr<FakeHistory> self) {
    return std::make_unique<FakeReader>(std::move(self));
}
