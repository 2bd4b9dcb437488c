// The real `tessiv --headless` as a service manager runs it: no DISPLAY, no WAYLAND_DISPLAY, no
// QT_QPA_PLATFORM, its standard output a file, ended and reloaded by signals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "tests/support/temp_dir.h"
#include "text/gbk.h"
#include "tools/status_host.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The monitor in a child process of its own, its standard output and error in files.
class Headless {
public:
    Headless(const std::vector<std::string>& arguments, const std::filesystem::path& out,
             std::vector<std::string> extraEnvironment = {}) {
        std::vector<std::string> argvText{TESSIV_EXECUTABLE};
        argvText.insert(argvText.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& text : argvText) argv.push_back(text.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text = *entry;
            if (!text.starts_with("DISPLAY=") && !text.starts_with("WAYLAND_DISPLAY=") &&
                !text.starts_with("QT_QPA_PLATFORM="))
                envp.push_back(*entry);
        }
        for (std::string& text : extraEnvironment) envp.push_back(text.data());
        envp.push_back(nullptr);
        const std::string outPath = out.string();
        const std::string errPath = out.string() + ".err";
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(outFd, STDOUT_FILENO);
            ::dup2(errFd, STDERR_FILENO);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Headless() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Headless(const Headless&) = delete;
    Headless& operator=(const Headless&) = delete;

    pid_t pid() const { return m_pid; }
    // The exit status once it ends by itself within `limit`; -1 if it is still running or was killed.
    int WaitExit(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (Clock::now() < end) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
};

std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 20s) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST(Headless, PollsWithoutADisplayWritesMarkedLinesAndEndsWithinASecondOfSigtermMidQuery) {
    TempDir dir;
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    StatusHost normal;
    StatusHost hanging(Scenario{.hang = true});
    WriteFileBytes(dir / "Setting.ini",
                   "C," + faulty.url() + "@1\r\nA," + normal.url() + "@1\r\nH," + hanging.url() + "@1\r\n");
    const std::filesystem::path out = dir / "stdout.txt";
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, out);

    // At the program's own pace: the first round starts about 4 s after the start, 2 s between hosts.
    ASSERT_TRUE(WaitFor([&] { return hanging.requestCount() > 0; })) << ReadText(out.string() + ".err");
    const std::string maps = ReadText("/proc/" + std::to_string(monitor.pid()) + "/maps");
    EXPECT_EQ(maps.find("/platforms/"), std::string::npos) << "a GUI platform plugin was loaded";

    const auto sent = Clock::now();
    ::kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.WaitExit(1s), 0);
    EXPECT_LT(Clock::now() - sent, 1s);

    const std::string text = ReadText(out);
    EXPECT_TRUE(text.starts_with("<6>服务器监控程序已经启动!\n")) << text;
    EXPECT_NE(text.find("<3>001 <"), std::string::npos) << text;
    EXPECT_NE(text.find(" ------ C 位置服务器 2012-05-06 06:00:00 异常 ------\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" A 正常... "), std::string::npos) << text;
    EXPECT_NE(ReadFileBytes(dir / "log.txt")
                  .find(gbk::FromUtf8(" ------ C 位置服务器 2012-05-06 06:00:00 异常 ------")),
              std::string::npos);
}

// A host's text is data: CR LF and escape sequences in a report add no record to log.txt, no line to the
// journal and no line or terminal command to the hook's TESSIV_LINE.
TEST(Headless, AReportsControlBytesNeverForgeARecordOrReachATerminal) {
    TempDir dir;
    const std::string forged = "\r\n001 <2026-01-01 00:00:00> ------ B 位置服务器 伪造 异常 ------";
    StatusHost host(Scenario{.apps = {{"位置服务器" + forged + "\x1b]0;owned\x07\x1b[2J", "06:00\r\nsos"}}});
    WriteFileBytes(dir / "Setting.ini", "C," + host.url() + "@1\r\n");
    WriteFileBytes(dir / "hook.sh",
                   "#!/bin/sh\nprintf '%s' \"$TESSIV_LINE\" > " + (dir / "hook.txt").string() + "\n");
    std::filesystem::permissions(dir / "hook.sh", std::filesystem::perms::owner_all);
    WriteFileBytes(dir / "tessiv.conf", "[hooks]\ncommand = " + (dir / "hook.sh").string() + "\n");
    const std::filesystem::path out = dir / "stdout.txt";
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, out);
    ASSERT_TRUE(WaitFor([&] { return !ReadText(dir / "hook.txt").empty(); }))
        << ReadText(out.string() + ".err");
    ::kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.WaitExit(1s), 0);

    const auto controls = [](const std::string& text) {
        return std::ranges::count_if(
            text, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    };
    // The alarm's record and the sound's, each ended by CR LF and nothing else.
    const std::string log = ReadFileBytes(dir / "log.txt");
    EXPECT_EQ(controls(log), 4) << log;
    EXPECT_TRUE(log.ends_with(gbk::FromUtf8("\\x0d\\x0asos 异常 ------\r\nalarm sound ...\r\n"))) << log;
    const std::string hook = ReadText(dir / "hook.txt");
    EXPECT_EQ(controls(hook), 0) << hook;
    EXPECT_NE(hook.find("\\x1b]0;owned\\x07\\x1b[2J"), std::string::npos) << hook;
    const std::string text = ReadText(out);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find("\n001 <2026-01-01"), std::string::npos) << text;
    EXPECT_NE(text.find("<3>001 <"), std::string::npos) << text;
}

TEST(Headless, SighupTakesANewTessivConfWithoutARestart) {
    TempDir dir;
    WriteFileBytes(dir / "Setting.ini", "");
    const std::filesystem::path out = dir / "stdout.txt";
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, out);
    ASSERT_TRUE(WaitFor([&] { return ReadText(out).find("服务器监控程序已经启动!") != std::string::npos; }));

    const int port = FreePort();
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten = 127.0.0.1:" + std::to_string(port) + "\n");
    httplib::Client client("127.0.0.1", port);
    EXPECT_FALSE(client.Get("/metrics"));
    ::kill(monitor.pid(), SIGHUP);

    ASSERT_TRUE(WaitFor([&] { return ReadText(out).find("<6><") != std::string::npos; })) << ReadText(out);
    EXPECT_NE(ReadText(out).find("已按请求重新读取 Setting.ini"), std::string::npos);
    std::string body;
    ASSERT_TRUE(WaitFor(
        [&] {
            const httplib::Result scrape = client.Get("/metrics");
            if (scrape && scrape->status == 200) body = scrape->body;
            return !body.empty();
        },
        5s));
    EXPECT_NE(body.find("tessiv_"), std::string::npos);

    ::kill(monitor.pid(), SIGINT);
    EXPECT_EQ(monitor.WaitExit(1s), 0);
}

// One monitor per folder, with or without a window: the later start says who holds the folder and leaves.
TEST(Headless, ASecondStartInAWatchedFolderLeavesSayingWhy) {
    TempDir dir;
    WriteFileBytes(dir / "Setting.ini", "");
    const std::filesystem::path out = dir / "first.txt";
    Headless first({"--headless", "--data-dir", dir.path().string()}, out);
    ASSERT_TRUE(WaitFor([&] { return ReadText(out).find("服务器监控程序已经启动!") != std::string::npos; }));

    const std::filesystem::path second = dir / "second.txt";
    Headless headless({"--headless", "--data-dir", dir.path().string()}, second);
    EXPECT_EQ(headless.WaitExit(5s), 1);
    EXPECT_NE(ReadText(second.string() + ".err").find("a monitor without a window already watches"),
              std::string::npos);
    Headless window({"--data-dir", dir.path().string()}, second, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(window.WaitExit(5s), 1);
    EXPECT_NE(ReadText(second.string() + ".err").find("a monitor without a window already watches"),
              std::string::npos);
    EXPECT_EQ(ReadText(out).find("<3>"), std::string::npos);
}

TEST(Headless, CommandLineMistakesExitWithStatusTwoAndSayWhy) {
    TempDir dir;
    const std::filesystem::path out = dir / "out.txt";
    Headless missing({"--headless", "--data-dir", (dir / "nowhere").string()}, out);
    EXPECT_EQ(missing.WaitExit(5s), 2);
    EXPECT_NE(ReadText(out.string() + ".err").find("nowhere"), std::string::npos);
    Headless unknown({"--headless", "-platform", "xcb"}, out);
    EXPECT_EQ(unknown.WaitExit(5s), 2);
    EXPECT_NE(ReadText(out.string() + ".err").find("unknown option -platform"), std::string::npos);
}

}  // namespace
