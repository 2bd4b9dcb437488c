#include "app/window_hooks.h"

#include <QGuiApplication>
#include <QString>

#include "app/acknowledging.h"
#include "app/history_wiring.h"
#include "desktop/desktop_presence.h"
#include "history/history_records.h"
#include "monitor/tessiv_dlg.h"
#include "servers/server_entry.h"

namespace {

HostCounts CountHosts(ServerLists& servers) {
    HostCounts counts;
    for (const std::string& line : servers.Entries()) {
        if (line.empty()) continue;
        if (entry::ForPolling(line).paused())
            ++counts.paused;
        else
            ++counts.polled;
    }
    return counts;
}

// Qt's Wayland shell takes a token handed to the process through XDG_ACTIVATION_TOKEN on the next activation
// request and then unsets it; where the compositor has no activation protocol it stays, so it is taken back.
void ShowAndRaiseWithToken(CTessivDlg& window, const QString& token) {
    const bool useToken =
        !token.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    if (useToken) qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    window.ShowAndRaise();
    if (useToken) qunsetenv("XDG_ACTIVATION_TOKEN");
}

}  // namespace

WindowHooks HooksFor(CTessivDlg& window) {
    WindowHooks hooks;
    hooks.showAndRaise = [&window](const QString& token) { ShowAndRaiseWithToken(window, token); };
    hooks.silence = [&window] { window.OnSilence(); };
    hooks.exit = [&window] { window.OnExit(); };
    hooks.hostCounts = [&window] { return CountHosts(window.Core().Servers()); };
    return hooks;
}

namespace {

void GiveHooks(DesktopPresence& desktop, CTessivDlg& window) {
    desktop.Attach(HooksFor(window));
    QObject::connect(&window, &QDialog::finished, &desktop, &DesktopPresence::Detach);
}

}  // namespace

void AttachDesktop(DesktopPresence& desktop, CTessivDlg& window) {
    GiveHooks(desktop, window);
    window.Core().AddAlarmObserver(&desktop);
}

AdditionsDesktop DesktopFor(DesktopPresence& desktop, CTessivDlg& window) {
    GiveHooks(desktop, window);
    AdditionsDesktop outlets;
    outlets.alarms = &desktop;
    outlets.showAgain = [&desktop] { desktop.Escalate(); };
    outlets.networkDown = [&desktop](bool down) { desktop.SetNetworkDown(down); };
    // The history window and the "since when" of the tray and the notification, while the history is kept.
    outlets.historyKept = [&desktop, &window](const std::filesystem::path& file,
                                              std::function<history::HostsNow()> hostsNow) {
        AttachHistory(
            window, desktop,
            [file] {
                std::string error;
                return history::HistoryReader::Open(file, error);
            },
            std::move(hostsNow));
    };
    return outlets;
}

void OfferAcknowledgements(CTessivDlg& window, DesktopPresence& desktop, Acknowledging& acknowledging) {
    constexpr const char* kWho = "window";
    AcknowledgeOffer offer;
    offer.state = [&acknowledging](const std::string& name) {
        switch (acknowledging.StateOf(name)) {
            case Acknowledging::State::InFault:
                return AcknowledgeOffer::State::InFault;
            case Acknowledging::State::Acknowledged:
                return AcknowledgeOffer::State::Acknowledged;
            case Acknowledging::State::Normal:
                break;
        }
        return AcknowledgeOffer::State::Normal;
    };
    offer.set = [&acknowledging](const std::string& name, bool acknowledge) {
        if (acknowledge)
            acknowledging.Acknowledge(name, kWho);
        else
            acknowledging.Unacknowledge(name, kWho);
    };
    window.OfferAcknowledge(std::move(offer));
    desktop.OfferAcknowledge([&acknowledging] { return acknowledging.HostsInFault(); },
                             [&acknowledging](const std::string& name) {
                                 if (name.empty())
                                     acknowledging.AcknowledgeAll(kWho);
                                 else
                                     acknowledging.Acknowledge(name, kWho);
                             });
}
