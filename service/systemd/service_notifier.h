#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <QObject>
#include <QTimer>

// Tells systemd how the service is doing, through sd_notify(3): ready, reloading, stopping, and the
// watchdog's keep-alive. The keep-alive is sent by a timer on the event loop of the thread that made this
// object, at half the interval systemd asks for (WATCHDOG_USEC), so a loop that is stuck stops it and systemd
// restarts the service, while a long poll round (on its worker) does not. Once told to expect progress, the
// keep-alive also stops when none was reported for longer than asked, so a loop that runs while its work
// has stopped is restarted too. Without NOTIFY_SOCKET every call does nothing. A status is one line: a
// newline in it becomes a space, so it cannot add an assignment of its own.
class ServiceNotifier final : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // READY=1 with a status line.
    void Ready(const std::string& status);
    // RELOADING=1 with MONOTONIC_USEC; Ready again when the reload is done.
    void Reloading();
    // STOPPING=1.
    void Stopping();
    // STATUS= only.
    void Status(const std::string& status);

    // From now on the keep-alive is sent only while Progress was called within the last `limit`; this call
    // counts as progress.
    void ExpectProgressWithin(std::chrono::milliseconds limit);
    void Progress();

private:
    void KeepAlive();

    QTimer m_watchdog;
    std::optional<std::chrono::milliseconds> m_progressLimit;
    std::chrono::steady_clock::time_point m_lastProgress;
};
