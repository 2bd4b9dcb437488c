#pragma once

#include "desktop/window_hooks.h"

class CTessivDlg;
class DesktopPresence;

// What the desktop may ask of the real window, through its public calls.
WindowHooks HooksFor(CTessivDlg& window);

// Gives the desktop the window's hooks, tells it of the window's alarms, and cuts the hooks when the window
// is done.
void AttachDesktop(DesktopPresence& desktop, CTessivDlg& window);
