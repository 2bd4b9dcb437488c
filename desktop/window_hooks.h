#pragma once

#include <functional>

class QString;

struct HostCounts {
    int polled = 0;
    int paused = 0;
};

// What the desktop side may ask of the monitor window. Called on the window's thread only.
struct WindowHooks {
    // Shown, restored, raised and activated; a non-empty token is an xdg-activation token to use for it.
    std::function<void(const QString& activationToken)> showAndRaise;
    std::function<void()> silence;
    std::function<void()> exit;  // as the 退出 button
    std::function<HostCounts()> hostCounts;
};
