#pragma once

#include "app/additions.h"
#include "desktop/window_hooks.h"

class CTessivDlg;
class Acknowledging;
class DesktopPresence;

// What the desktop may ask of the real window, through its public calls.
WindowHooks HooksFor(CTessivDlg& window);

// Gives the desktop the window's hooks, tells it of the window's alarms, and cuts the hooks when the window
// is done.
void AttachDesktop(DesktopPresence& desktop, CTessivDlg& window);

// The desktop's part of the additions: gives it the window's hooks (cut when the window is done), tells it of
// the window's alarms, shows escalations and the network's loss, and offers the history window once the
// history is kept.
AdditionsDesktop DesktopFor(DesktopPresence& desktop, CTessivDlg& window);

// Acknowledging a host's fault from the server list's row menu, the notification and the tray.
void OfferAcknowledgements(CTessivDlg& window, DesktopPresence& desktop, Acknowledging& acknowledging);
