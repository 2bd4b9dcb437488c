#include "app/history_wiring.h"

#include <QDialog>
#include <QPointer>

#include "desktop/desktop_presence.h"
#include "history/ui/history_window.h"
#include "monitor/tessiv_dlg.h"

namespace {

// Owned by the monitor window: what lives as long as the history is offered.
class HistoryLink final : public QObject {
public:
    HistoryLink(CTessivDlg& window, HistoryOpener open, std::function<history::HostsNow()> hostsNow)
        : QObject(&window), m_window(window), m_open(std::move(open)), m_hostsNow(std::move(hostsNow)) {}

    void Show() {
        if (!m_shown) {
            HistoryWindowOptions options;
            options.hostsNow = m_hostsNow;
            m_shown = new HistoryWindow(m_open(), std::move(options), &m_window);
            m_shown->setAttribute(Qt::WA_DeleteOnClose);
            connect(&m_window, &CTessivDlg::RoundFinished, m_shown, &HistoryWindow::Refresh);
        }
        m_shown->show();
        m_shown->raise();
        m_shown->activateWindow();
    }

    // Per server name, the earliest start of its open outages. A history that cannot be read yet is tried
    // again at the next question.
    std::optional<OutageStarts> Starts() {
        if (!m_reader) m_reader = m_open();
        if (!m_reader) return std::nullopt;
        OutageStarts starts;
        for (const auto& [host, start] : m_reader->OpenOutages()) {
            auto [at, added] = starts.emplace(host.first, start);
            if (!added && start < at->second) at->second = start;
        }
        return starts;
    }

private:
    CTessivDlg& m_window;
    HistoryOpener m_open;
    std::function<history::HostsNow()> m_hostsNow;
    QPointer<HistoryWindow> m_shown;
    std::unique_ptr<history::HistoryReader> m_reader;  // the tray's and the notification's
};

}  // namespace

std::function<void()> AttachHistory(CTessivDlg& window, DesktopPresence& desktop, HistoryOpener open,
                                    std::function<history::HostsNow()> hostsNow) {
    QPointer<HistoryLink> link = new HistoryLink(window, std::move(open), std::move(hostsNow));
    std::function<void()> show = [link] {
        if (link) link->Show();
    };
    window.SetHistoryOpener(show);
    desktop.OfferHistory(
        show, [link]() -> std::optional<OutageStarts> { return link ? link->Starts() : std::nullopt; });
    return show;
}
