#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service/systemd/service_notifier.h"
#include "tests/support/temp_dir.h"

// The notifier as systemd sees it: a datagram socket named by NOTIFY_SOCKET, read by a thread of its own that
// notes when each message arrived, so the queue never fills and the times do not depend on the loop under
// test.
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Message {
    Clock::time_point at;
    std::string text;
};

class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path);
        m_reader = std::thread([this] { Read(); });
    }
    ~NotifySocket() {
        m_stop = true;
        m_reader.join();
        close(m_fd);
    }

    std::vector<Message> Messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    bool WaitFor(const std::string& text, Clock::duration limit) const {
        for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(10ms))
            for (const Message& message : Messages())
                if (message.text == text) return true;
        return false;
    }

private:
    void Read() {
        while (!m_stop) {
            pollfd wait{m_fd, POLLIN, 0};
            if (poll(&wait, 1, 20) != 1) continue;
            char buffer[4096];
            const ssize_t size = recv(m_fd, buffer, sizeof buffer, 0);
            if (size < 0) continue;
            std::lock_guard lock(m_mutex);
            m_messages.push_back({Clock::now(), std::string(buffer, static_cast<size_t>(size))});
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::thread m_reader;
};

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
