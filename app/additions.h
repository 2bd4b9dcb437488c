#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "app/acknowledging.h"
#include "channels/channels.h"
#include "history/history_store.h"
#include "integrations/integrations.h"
#include "polling/round_observers.h"
#include "rules/alarm_rules.h"
#include "web/status_web.h"

class AlarmObserver;
class MonitorCore;
struct MonitorSettings;
struct TessivConf;

// What a front with a desktop (notification and tray) adds to the additions; a front without one has none.
struct AdditionsDesktop {
    AlarmObserver* alarms = nullptr;             // told of the alarm's life before the additions
    std::function<void()> showAgain;             // an escalation: the notification again, as critical
    std::function<void(bool down)> networkDown;  // every host unreachable began (true) or ended (false)
    // The history is recorded into `file` and may be offered for reading, with the hosts' state now beside
    // it.
    std::function<void(const std::filesystem::path& file, std::function<history::HostsNow()> hostsNow)>
        historyKept;
};

// What tessiv.conf adds to the monitor, the same for either front: the hook, webhook and metrics, the
// alarm's channels (group robots and e-mail), the history, the alarm rules, strict reports and how many
// hosts a round asks at once, the status page. Made before the core, whose settings name it as the rounds'
// observer, attached once the core exists, and destroyed after the core, which tells it to the end.
class Additions final {
public:
    Additions() = default;
    Additions(const Additions&) = delete;
    Additions& operator=(const Additions&) = delete;

    // Before the core is made from `settings`: its rounds are told to the additions.
    void Prepare(MonitorSettings& settings);
    // Tells the additions of the core's alarms, reads tessiv.conf beside Setting.ini, starts what it asks
    // for and puts the alarm rules between the core's alarms and its steps. Once.
    void Attach(MonitorCore& core, AdditionsDesktop desktop = {});
    // Takes what tessiv.conf asks for now: the hook, webhook and metrics (see Integrations::Restart), the
    // channels (see Channels::Restart), the alarm rules, strict reports and [polling] (from the next round).
    // Only while no round runs, as MonitorCore::Reload runs its `also`.
    void Reload();
    // The operator's acknowledgements; null before Attach.
    Acknowledging* Acknowledgements() { return m_acknowledging.get(); }

private:
    TessivConf ReadConf() const;
    // Takes [web] and the integrations together: when the page and the metrics share an address, the page's
    // server serves both. An address is let go before the other server may take it.
    void ApplyServers(const TessivConf& conf, bool restart);
    // The list as the core holds it now, and what the rounds found of it. Core thread.
    std::vector<web::ListedHost> ListedHosts() const;
    history::HostsNow HostsNow() const;
    void PublishHosts();

    MonitorCore* m_core = nullptr;
    Integrations m_integrations;
    history::HistoryStore m_history;
    AlarmRules m_rules;
    Channels m_channels;  // after the integrations: its senders tell their metrics until they end
    web::StatusWeb m_web;
    RoundObservers m_rounds{&m_integrations, &m_history, &m_rules, &m_channels, &m_web};
    std::unique_ptr<Acknowledging> m_acknowledging;
};
