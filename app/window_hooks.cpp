#include "app/window_hooks.h"

#include <QGuiApplication>
#include <QString>

#include "desktop/desktop_presence.h"
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

void AttachDesktop(DesktopPresence& desktop, CTessivDlg& window) {
    desktop.Attach(HooksFor(window));
    window.Core().AddAlarmObserver(&desktop);
    QObject::connect(&window, &QDialog::finished, &desktop, &DesktopPresence::Detach);
}
