#include "service/systemd/service_notifier.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace {

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// systemd 253 and later match RELOADING=1 to the reload request by this time; older ones ignore it.
unsigned long long MonotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1'000'000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 1'000ULL;
}

}  // namespace

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent), m_watchdog(this) {
    std::uint64_t usec = 0;
    // sd_watchdog_enabled also checks WATCHDOG_PID, so a hook started with our environment does not take it
    // for its own.
    if (std::getenv("NOTIFY_SOCKET") == nullptr || sd_watchdog_enabled(0, &usec) <= 0) return;
    using std::chrono::milliseconds;
    const auto half = std::chrono::duration_cast<milliseconds>(std::chrono::microseconds(usec / 2));
    m_watchdog.setTimerType(Qt::PreciseTimer);
    m_watchdog.setInterval(std::max(half, milliseconds(1)));
    connect(&m_watchdog, &QTimer::timeout, this, &ServiceNotifier::KeepAlive);
    m_watchdog.start();
}

void ServiceNotifier::Ready(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", OneLine(status).c_str());
}

void ServiceNotifier::Reloading() {
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", MonotonicMicroseconds());
}

void ServiceNotifier::Stopping() {
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::Status(const std::string& status) {
    sd_notifyf(0, "STATUS=%s", OneLine(status).c_str());
}

void ServiceNotifier::ExpectProgressWithin(std::chrono::milliseconds limit) {
    m_progressLimit = limit;
    Progress();
}

void ServiceNotifier::Progress() {
    m_lastProgress = std::chrono::steady_clock::now();
}

void ServiceNotifier::KeepAlive() {
    if (m_progressLimit && std::chrono::steady_clock::now() - m_lastProgress > *m_progressLimit) return;
    sd_notify(0, "WATCHDOG=1");
}
