// `systemctl reload` as the service meets it: the real `tessiv --headless`, its notification socket read as
// systemd would, its hook and metrics seen from outside.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tests/integrations/support.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "tools/status_host.h"

namespace {

using namespace std::chrono_literals;

// systemd's end of NOTIFY_SOCKET: every datagram the service sent, in order.
class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path& path) : m_path(path.string()) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + m_path);
    }
    ~NotifySocket() { ::close(m_fd); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& Path() const { return m_path; }
    const std::vector<std::string>& Messages() {
        char buffer[4096];
        for (ssize_t size; (size = ::recv(m_fd, buffer, sizeof buffer, 0)) >= 0;)
            m_messages.emplace_back(buffer, static_cast<std::size_t>(size));
        return m_messages;
    }
    // How many messages so far start with `state`, e.g. "READY=1".
    std::size_t Count(std::string_view state) {
        std::size_t count = 0;
        for (const std::string& message : Messages()) count += message.starts_with(state);
        return count;
    }

private:
    std::string m_path;
    int m_fd = -1;
    std::vector<std::string> m_messages;
};

// `tessiv --headless --data-dir DIR` in a child process as systemd starts it: no display, the notification
// socket in its environment, standard output in DIR/stdout.txt.
ChildProcess StartService(const std::filesystem::path& dir, const NotifySocket& systemd) {
    return ChildProcess({TESSIV_EXECUTABLE, "--headless", "--data-dir", dir.string()},
                        {.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
                         .set = {"NOTIFY_SOCKET=" + systemd.Path()},
                         .stdoutFile = dir / "stdout.txt"});
}

// The samples that must survive a reload: the faults counted, whether the host is up, when its outage began,
// whether an alarm is active.
std::map<std::string, double> Kept(const std::map<std::string, double>& samples) {
    std::map<std::string, double> kept;
    for (const auto& [name, value] : samples)
        for (const char* family : {"tessiv_faults_total{", "tessiv_server_up{",
                                   "tessiv_outage_started_timestamp_seconds{", "tessiv_alarm_active"})
            if (name.starts_with(family)) kept.emplace(name, value);
    return kept;
}

TEST(Reload, LetsARunningHookFinishAndKeepsTheMetrics) {
    TempDir dir;
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    WriteFileBytes(dir / "Setting.ini", "C," + faulty.url() + "@1\r\n");
    // Runs until the test lets it go, so it is surely running when the reload comes.
    const auto hook = WriteScript(
        dir.path(), "hook.sh",
        ": > '" + (dir / "started").string() + "'\nwhile [ ! -e '" + (dir / "go").string() +
            "' ]; do sleep 0.02; done\necho \"$TESSIV_SERVER\" > '" + (dir / "done").string() + "'");
    const int port = FreePort();
    const std::string conf = "[hooks]\ncommand = " + hook.string() +
                             "\n[metrics]\nlisten = 127.0.0.1:" + std::to_string(port) + "\n";
    WriteFileBytes(dir / "tessiv.conf", conf);
    NotifySocket systemd(dir / "notify");
    ChildProcess service = StartService(dir.path(), systemd);

    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir / "started"); }, 15s))
        << ReadFileBytes(dir / "stdout.txt");
    ASSERT_TRUE(
        WaitFor([&] { return Scrape(port).contains("tessiv_last_round_end_timestamp_seconds"); }, 15s));
    const std::map<std::string, double> before = Scrape(port);
    const std::string series = R"({address=")" + faulty.url() + R"(",server="C"})";
    ASSERT_EQ(before.at("tessiv_server_up" + series), 0);
    ASSERT_TRUE(before.contains("tessiv_outage_started_timestamp_seconds" + series));
    ASSERT_EQ(before.at("tessiv_alarm_active"), 1);

    // The same tessiv.conf, and one where only the port moved: both keep what runs and what was counted.
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return systemd.Count("READY=1") == 2; }, 15s));
    EXPECT_EQ(Kept(Scrape(port)), Kept(before));
    const int moved = FreePort();
    WriteFileBytes(dir / "tessiv.conf", "[hooks]\ncommand = " + hook.string() +
                                            "\n[metrics]\nlisten = 127.0.0.1:" + std::to_string(moved) +
                                            "\n");
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return systemd.Count("READY=1") == 3; }, 15s));

    WriteFileBytes(dir / "go", "");
    // The shell makes the file before it writes the line.
    ASSERT_TRUE(WaitFor([&] { return !ReadFileBytes(dir / "done").empty(); }, 15s));
    EXPECT_EQ(ReadFileBytes(dir / "done"), "C\n");
    const std::map<std::string, double> after = Scrape(moved);
    EXPECT_EQ(Kept(after), Kept(before));
    EXPECT_GE(after.at("tessiv_rounds_total"), before.at("tessiv_rounds_total"));

    service.Signal(SIGTERM);
    ASSERT_TRUE(service.WaitEnd(15s));
    EXPECT_EQ(service.ExitCode(), 0) << service.Describe();
}

// SIGHUP while a round runs waits for the round's end; a SIGTERM meanwhile ends the round, and with it the
// reload: nothing is read again and systemd hears nothing after STOPPING=1.
TEST(Reload, ASighupWaitingWhenTheStopBeginsReloadsNothing) {
    TempDir dir;
    StatusHost hanging(Scenario{.hang = true});
    WriteFileBytes(dir / "Setting.ini", "H," + hanging.url() + "@1\r\n");
    NotifySocket systemd(dir / "notify");
    ChildProcess service = StartService(dir.path(), systemd);
    ASSERT_TRUE(WaitFor([&] { return hanging.requestCount() > 0; }, 15s))
        << ReadFileBytes(dir / "stdout.txt");

    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return systemd.Count("RELOADING=1") == 1; }, 15s));
    service.Signal(SIGTERM);
    ASSERT_TRUE(service.WaitEnd(15s));
    EXPECT_EQ(service.ExitCode(), 0) << service.Describe();

    const std::vector<std::string> messages = systemd.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "STOPPING=1");
    EXPECT_EQ(systemd.Count("READY=1"), 1u);
    EXPECT_EQ(ReadFileBytes(dir / "stdout.txt").find("已按请求重新读取"), std::string::npos);
}

}  // namespace
