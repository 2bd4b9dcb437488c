#include "web/status_model.h"

#include <algorithm>

#include <QString>

#include "history/fault_line.h"
#include "history/outcome_codes.h"
#include "text/data_text.h"
#include "text/gbk.h"

namespace web {

namespace {

constexpr int kNormalKind = 0;
constexpr int kFaultKind = 1;
constexpr int kPausedKind = 2;

std::optional<double> Uptime(const history::HostSummary& summary) {
    if (summary.rounds == 0) return std::nullopt;
    return summary.uptimePercent;
}

std::vector<std::pair<history::Outcome, int>> Runs(const std::vector<history::Outcome>& timeline) {
    std::vector<std::pair<history::Outcome, int>> runs;
    for (const history::Outcome outcome : timeline) {
        if (!runs.empty() && runs.back().first == outcome)
            ++runs.back().second;
        else
            runs.emplace_back(outcome, 1);
    }
    return runs;
}

void Describe(HostView& host) {
    switch (host.state) {
        case HostState::Unknown:
            host.stateName = "unknown";
            host.stateText = "等待首轮查询";
            return;
        case HostState::Normal:
            host.stateName = "normal";
            host.stateText = std::string(history::OutcomeWords(history::Outcome::Normal));
            return;
        case HostState::Fault:
            host.stateName = std::string(history::OutcomeName(host.category));
            host.stateText = std::string(history::OutcomeWords(host.category));
            return;
        case HostState::Paused:
            host.stateName = "paused";
            host.stateText = "已暂停";
            return;
        case HostState::Maintenance:
            host.stateName = "maintenance";
            host.stateText = "维护中";
            return;
    }
}

}  // namespace

std::string ShownText(const std::string& gbk) {
    return gbk::ToQString(EscapeControls(gbk)).toStdString();
}

int StatusSnapshot::Faulty() const {
    return static_cast<int>(std::count_if(
        hosts.begin(), hosts.end(), [](const HostView& host) { return host.state == HostState::Fault; }));
}

void StatusBoard::EntryPolled(const EntryResult& result) {
    const TimePoint now = std::chrono::system_clock::now();
    Seen seen;
    seen.paused = result.paused;
    seen.normal = result.normal;
    if (result.normal == false && !result.faults.empty()) {
        seen.category = history::OutcomeOf(result.faults.front().category);
        seen.firstLine = ShownText(result.faults.front().line);
        seen.shortLine = ShownText(history::ShortFaultLine(result.faults.front().line, result.name));
    } else if (result.normal == false) {
        seen.category = history::Outcome::Unclassified;
    }
    seen.kind = result.paused ? kPausedKind : !result.normal ? -1 : *result.normal ? kNormalKind : kFaultKind;

    std::lock_guard hold(m_mutex);
    Seen& known = m_seen[{result.name, result.url}];
    // A query that broke off tells nothing: the host stays as it was.
    if (seen.kind < 0) return;
    seen.since = known.kind == seen.kind ? known.since : now;
    known = std::move(seen);
}

void StatusBoard::RoundEnded(std::size_t entries) {
    static_cast<void>(entries);
    std::lock_guard hold(m_mutex);
    m_lastRound = std::chrono::system_clock::now();
    ++m_round;
}

StatusSnapshot StatusBoard::Hosts(const std::vector<ListedHost>& listed) const {
    StatusSnapshot snapshot;
    snapshot.generated = std::chrono::system_clock::now();
    snapshot.hosts.reserve(listed.size());
    std::lock_guard hold(m_mutex);
    snapshot.lastRound = m_lastRound;
    snapshot.round = m_round;
    for (const ListedHost& entry : listed) {
        HostView host;
        host.gbkName = entry.name;
        host.gbkUrl = entry.url;
        host.name = ShownText(entry.name);
        host.url = ShownText(entry.url);
        const auto seen = m_seen.find({entry.name, entry.url});
        const bool known = seen != m_seen.end() && seen->second.kind >= 0;
        if (entry.paused) {
            host.state = entry.maintenanceUntil ? HostState::Maintenance : HostState::Paused;
            if (entry.maintenanceUntil)
                host.maintenanceUntil = std::chrono::system_clock::from_time_t(*entry.maintenanceUntil);
            if (known && seen->second.kind == kPausedKind) host.since = seen->second.since;
        } else if (known && seen->second.kind != kPausedKind) {
            host.state = seen->second.kind == kNormalKind ? HostState::Normal : HostState::Fault;
            host.category = seen->second.category;
            host.firstLine = seen->second.firstLine;
            host.shortLine = seen->second.shortLine;
            host.since = seen->second.since;
            host.acknowledged = entry.acknowledged && host.state == HostState::Fault;
        }
        Describe(host);
        snapshot.hosts.push_back(std::move(host));
    }
    return snapshot;
}

void AddHistory(StatusSnapshot& snapshot, history::HistoryReader& reader) {
    using namespace std::chrono_literals;
    const TimePoint now = snapshot.generated;
    std::map<std::pair<std::string, std::string>, const history::HostSummary*> day;
    std::map<std::pair<std::string, std::string>, const history::HostSummary*> week;
    const std::vector<history::HostSummary> days = reader.Summaries(now - 24h, now, kTimelineStretches);
    const std::vector<history::HostSummary> weeks = reader.Summaries(now - 7 * 24h, now, 1);
    for (const history::HostSummary& summary : days) day[{summary.name, summary.url}] = &summary;
    for (const history::HostSummary& summary : weeks) week[{summary.name, summary.url}] = &summary;
    // The latest end of each host's outages that a normal round ended: newest first.
    std::map<std::pair<std::string, std::string>, TimePoint> recovered;
    for (const history::OutageRecord& outage : reader.Outages(now - 7 * 24h, now))
        if (outage.end && outage.endedBy.empty())
            recovered.emplace(std::pair{outage.name, outage.url}, *outage.end);
    for (HostView& host : snapshot.hosts) {
        const std::pair<std::string, std::string> key{host.gbkName, host.gbkUrl};
        if (const auto found = recovered.find(key);
            host.state == HostState::Normal && found != recovered.end())
            host.since = found->second;
        if (const auto found = day.find(key); found != day.end()) {
            host.uptime24h = Uptime(*found->second);
            host.timeline = Runs(found->second->timeline);
        }
        if (const auto found = week.find(key); found != week.end()) host.uptime7d = Uptime(*found->second);
    }
    snapshot.history = true;
}

std::vector<OutageView> RecentOutages(history::HistoryReader& reader, TimePoint now, int days) {
    std::vector<OutageView> outages;
    for (const history::OutageRecord& record : reader.Outages(now - std::chrono::hours(24) * days, now)) {
        OutageView outage;
        outage.name = ShownText(record.name);
        outage.url = ShownText(record.url);
        outage.start = record.start;
        outage.end = record.end;
        outage.endedBy = record.endedBy;
        outage.duration =
            std::chrono::duration_cast<std::chrono::seconds>(record.end.value_or(now) - record.start);
        outage.category = record.category;
        outage.firstLine = ShownText(record.firstLine);
        outage.shortLine = ShownText(history::ShortFaultLine(record.firstLine, record.name));
        outages.push_back(std::move(outage));
    }
    return outages;
}

}  // namespace web
