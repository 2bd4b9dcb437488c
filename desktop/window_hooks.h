#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QString;

struct HostCounts {
    int polled = 0;
    int paused = 0;
};

// The hosts in an outage now: the server name (GBK) and when its outage started.
using OutageStarts = std::map<std::string, std::chrono::system_clock::time_point>;

// What the desktop side may ask of the monitor window. Called on the window's thread only.
struct WindowHooks {
    // Shown, restored, raised and activated; a non-empty token is an xdg-activation token to use for it.
    std::function<void(const QString& activationToken)> showAndRaise;
    std::function<void()> silence;
    std::function<void()> exit;  // as the 退出 button
    std::function<HostCounts()> hostCounts;
    // Set only while the history is kept: the tray offers 历史记录, and the tray and the notification say
    // since when each host is in fault. Nothing (nullopt) when the history cannot tell.
    std::function<void()> openHistory;
    std::function<std::optional<OutageStarts>()> outageStarts;
    // Set only while acknowledging is offered: the hosts in fault (names GBK) and whether each is
    // acknowledged; acknowledging one by name, or with an empty name every host in fault.
    std::function<std::vector<std::pair<std::string, bool>>()> hostsInFault;
    std::function<void(const std::string& name)> acknowledge;
};
