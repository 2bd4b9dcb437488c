#pragma once

#include <functional>
#include <memory>

#include "history/history_records.h"

class CTessivDlg;
class DesktopPresence;

// Opens a reader of the history, or gives null when there is none to read.
using HistoryOpener = std::function<std::unique_ptr<history::HistoryReader>()>;

// Offers the history window (历史记录) from the monitor window (Ctrl+H, the panes' menus) and the tray, and
// gives the tray and the notification the open outages. The history window is made when first asked for,
// refreshed after each round while it is open, and closed with the monitor. Returns what opens it (or brings
// an open one forward), for anything else that wants to offer it.
// `hostsNow` gives the hosts' state now for the window's host table (may be empty).
std::function<void()> AttachHistory(CTessivDlg& window, DesktopPresence& desktop, HistoryOpener open,
                                    std::function<history::HostsNow()> hostsNow = {});
