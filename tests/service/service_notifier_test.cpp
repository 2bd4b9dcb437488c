#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "service/systemd/service_notifier.h"
#include "tests/support/notify_socket.h"
#include "tests/support/temp_dir.h"

// The notifier as systemd sees it: a datagram socket named by NOTIFY_SOCKET.
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using Message = NotifySocket::Message;

unsigned long long MonotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1'000'000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 1'000ULL;
}

class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> variables)
        : m_variables(std::move(variables)) {
        for (const auto& [name, value] : m_variables) setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        for (const auto& variable : m_variables) unsetenv(variable.first.c_str());
    }

private:
    std::vector<std::pair<std::string, std::string>> m_variables;
};

}  // namespace

// Ready, a stuck loop, a reload and the stop, with systemd's watchdog at 1 s: the keep-alive comes well
// within each second while the loop runs, never while it is stuck, and the state changes arrive in order,
// each as the one message systemd parses.
TEST(ServiceNotifier, TellsSystemdTheStatesAndKeepsTheWatchdogFedOnlyByARunningLoop) {
    TempDir dir;
    const std::string path = (dir / "notify").string();
    NotifySocket systemd(path);
    ScopedEnvironment environment(
        {{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "1000000"}, {"WATCHDOG_PID", std::to_string(getpid())}});
    constexpr auto kWatchdog = 1000ms;

    int argc = 1;
    char name[] = "service_notifier_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ServiceNotifier notifier;
    QEventLoop loop;

    Clock::time_point blockStart, blockEnd;
    unsigned long long reloadFrom = 0, reloadTo = 0;
    notifier.Ready("3 hosts\nSTOPPING=1");
    QTimer::singleShot(2600ms, &loop, [&] {
        blockStart = Clock::now();
        std::this_thread::sleep_for(3 * kWatchdog);
        blockEnd = Clock::now();
        reloadFrom = MonotonicMicroseconds();
        notifier.Reloading();
        reloadTo = MonotonicMicroseconds();
        notifier.Ready("reloaded");
        QTimer::singleShot(1200ms, &loop, [&] {
            notifier.Stopping();
            loop.quit();
        });
    });
    loop.exec();
    ASSERT_TRUE(systemd.WaitFor("STOPPING=1", 5s));

    std::vector<std::string> states;
    std::vector<Clock::time_point> keepAlives;
    for (const Message& message : systemd.Messages()) {
        EXPECT_FALSE(message.at > blockStart + 100ms && message.at < blockEnd)
            << "sent while the loop was stuck: " << message.text;
        if (message.text == "WATCHDOG=1")
            keepAlives.push_back(message.at);
        else
            states.push_back(message.text);
    }

    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[0], "READY=1\nSTATUS=3 hosts STOPPING=1");
    const std::string reloading = "RELOADING=1\nMONOTONIC_USEC=";
    ASSERT_EQ(states[1].rfind(reloading, 0), 0u) << states[1];
    const unsigned long long reloadAt = std::stoull(states[1].substr(reloading.size()));
    EXPECT_GE(reloadAt, reloadFrom);
    EXPECT_LE(reloadAt, reloadTo);
    EXPECT_EQ(states[2], "READY=1\nSTATUS=reloaded");
    EXPECT_EQ(states[3], "STOPPING=1");

    // Half the interval apart while the loop runs: 5 in the first 2.6 s, and again once it is free.
    long before = 0, after = 0;
    for (size_t i = 0; i < keepAlives.size(); ++i) {
        const bool early = keepAlives[i] < blockStart;
        (early ? before : after) += 1;
        if (i > 0 && early == (keepAlives[i - 1] < blockStart)) {
            EXPECT_LT(keepAlives[i] - keepAlives[i - 1], kWatchdog * 8 / 10) << "keep-alive " << i;
        }
    }
    EXPECT_GE(before, 4);
    EXPECT_GE(after, 2);
}

// Rounds that stop while the loop runs: with systemd's watchdog at 200 ms and progress expected within
// 600 ms, the keep-alive comes while progress is reported, stops within the limit once it is not, though the
// loop still runs, and comes back with the next progress.
TEST(ServiceNotifier, StopsTheKeepAliveWhileNoProgressIsReported) {
    TempDir dir;
    const std::string path = (dir / "notify").string();
    NotifySocket systemd(path);
    ScopedEnvironment environment(
        {{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "200000"}, {"WATCHDOG_PID", std::to_string(getpid())}});
    constexpr auto kLimit = 600ms;

    int argc = 1;
    char name[] = "service_notifier_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ServiceNotifier notifier;
    notifier.ExpectProgressWithin(kLimit);
    QEventLoop loop;

    Clock::time_point lastProgress = Clock::now(), resumed;
    int reports = 0;
    QTimer rounds;
    rounds.setInterval(150ms);
    QObject::connect(&rounds, &QTimer::timeout, &loop, [&] {
        notifier.Progress();
        lastProgress = Clock::now();
        if (++reports == 6) rounds.stop();
    });
    rounds.start();
    QTimer::singleShot(3000ms, &loop, [&] {
        notifier.Progress();
        resumed = Clock::now();
        QTimer::singleShot(600ms, &loop, [&] {
            notifier.Stopping();
            loop.quit();
        });
    });
    loop.exec();
    ASSERT_TRUE(systemd.WaitFor("STOPPING=1", 5s));

    long fed = 0, stalled = 0, after = 0;
    for (const Message& message : systemd.Messages()) {
        if (message.text != "WATCHDOG=1") continue;
        if (message.at < lastProgress) ++fed;
        // A keep-alive sent at the limit may be read a little later.
        if (message.at > lastProgress + kLimit + 400ms && message.at < resumed) ++stalled;
        if (message.at > resumed) ++after;
    }
    EXPECT_GE(fed, 5);
    EXPECT_EQ(stalled, 0);
    EXPECT_GE(after, 3);
}
