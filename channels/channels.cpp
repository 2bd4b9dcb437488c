#include "channels/channels.h"

#include <algorithm>

#include "integrations/notice.h"

namespace {

TimePoint Now() {
    return std::chrono::system_clock::now();
}

}  // namespace

Channels::~Channels() {
    std::lock_guard hold(m_sendersMutex);
    m_senders.clear();
    m_finishing.clear();
}

void Channels::Start(const ChannelsConfig& config, RunPaneSink sink, SenderLimits limits) {
    m_sink = sink ? std::move(sink) : m_offered;
    m_limits = limits;
    Apply(config);
}

void Channels::Restart(const ChannelsConfig& config) {
    DropFinished();
    Apply(config);
}

void Channels::Apply(const ChannelsConfig& config) {
    const ChannelsConfig before = std::exchange(m_config, config);
    std::lock_guard hold(m_sendersMutex);
    // A channel whose settings changed finishes what waits for it; an unchanged one goes on.
    auto keep = [&](const char* name, bool same) {
        auto at = std::ranges::find_if(m_senders, [&](const auto& s) { return s->Target().Name() == name; });
        if (at == m_senders.end() || same) return at != m_senders.end();
        (*at)->Finish();
        m_finishing.push_back(std::move(*at));
        m_senders.erase(at);
        return false;
    };
    auto add = [&](const char* name, bool same, bool wanted, auto make) {
        if (!keep(name, same && wanted) && wanted)
            m_senders.push_back(std::make_unique<ChannelSender>(make(), m_sink, m_results, m_limits));
    };
    add("dingtalk", before.dingtalk == config.dingtalk, config.dingtalk.has_value(),
        [&] { return MakeDingTalk(*config.dingtalk); });
    add("wecom", before.wecom == config.wecom, config.wecom.has_value(),
        [&] { return MakeWeCom(*config.wecom); });
    add("feishu", before.feishu == config.feishu, config.feishu.has_value(),
        [&] { return MakeFeishu(*config.feishu); });
    add("email", before.email == config.email, config.email.has_value(),
        [&] { return MakeEmail(*config.email); });
}

void Channels::DropFinished() {
    std::lock_guard hold(m_sendersMutex);
    std::erase_if(m_finishing, [](const auto& sender) { return sender->Finished(); });
}

std::vector<const Channel*> Channels::Running() const {
    std::lock_guard hold(m_sendersMutex);
    std::vector<const Channel*> running;
    for (const auto& sender : m_senders) running.push_back(&sender->Target());
    return running;
}

void Channels::SendAll(const ChannelMessage& message) {
    std::lock_guard hold(m_sendersMutex);
    for (const auto& sender : m_senders) sender->Send(message);
}

void Channels::AlarmRaised(const AlarmEvent& event) {
    std::lock_guard hold(m_roundMutex);
    m_alarmSinceClear = true;
    m_raised.push_back({{event.serverName, event.url}, event.line, event.time});
}

void Channels::AllClear() {
    {
        std::lock_guard hold(m_roundMutex);
        if (!std::exchange(m_alarmSinceClear, false)) return;
    }
    SendAll(ClearMessage(Now()));
}

void Channels::Escalate(const std::vector<std::string>& gbkLines, TimePoint when) {
    std::vector<std::string> lines;
    for (const std::string& line : gbkLines) lines.push_back(Utf8FromGbk(line));
    SendAll(EscalationMessage(lines, when));
}

void Channels::NetworkDown(TimePoint when) {
    SendAll(NetworkDownMessage(when));
}

void Channels::EntryPolled(const EntryResult& result) {
    const Host host{result.name, result.url};
    m_seen.insert(host);
    if (result.paused) {
        m_outages.erase(host);
        return;
    }
    // A query that broke off leaves the outage as it was.
    if (!result.normal) return;
    if (!*result.normal) {
        m_outages.try_emplace(host, Outage{Now(), false});
        return;
    }
    const auto outage = m_outages.find(host);
    if (outage == m_outages.end()) return;
    if (outage->second.alarmed) m_recovered.push_back({Utf8FromGbk(host.first), outage->second.since, Now()});
    m_outages.erase(outage);
}

void Channels::RoundEnded(std::size_t) {
    // A host no longer in a whole round was deleted: its outage ends unannounced.
    std::erase_if(m_outages, [this](const auto& outage) { return !m_seen.contains(outage.first); });
    m_seen.clear();

    std::vector<RaisedLine> raised;
    {
        std::lock_guard hold(m_roundMutex);
        raised.swap(m_raised);
    }
    std::vector<HostRecovery> recovered;
    recovered.swap(m_recovered);
    if (!recovered.empty()) {
        if (m_recoveries) m_recoveries(recovered);
        SendAll(RecoveryMessage(recovered, Now()));
    }
    if (raised.empty()) return;
    // The round's lines by host, hosts in the order they first alarmed.
    std::vector<HostAlarm> hosts;
    std::vector<Host> order;
    for (const RaisedLine& line : raised) {
        auto at = std::ranges::find(order, line.host);
        if (at == order.end()) {
            order.push_back(line.host);
            const auto outage = m_outages.find(line.host);
            const TimePoint since =
                outage != m_outages.end() ? std::min(outage->second.since, line.time) : line.time;
            if (outage != m_outages.end()) outage->second.alarmed = true;
            hosts.push_back({Utf8FromGbk(line.host.first), {}, since});
            at = order.end() - 1;
        }
        hosts[static_cast<std::size_t>(at - order.begin())].lines.push_back(Utf8FromGbk(line.line));
    }
    SendAll(AlarmMessage(hosts, raised.front().time));
}
