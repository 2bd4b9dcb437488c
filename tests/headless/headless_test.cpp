// The real `tessiv --headless` as a service manager runs it: no DISPLAY, no WAYLAND_DISPLAY, no
// QT_QPA_PLATFORM, its standard output a file, ended and reloaded by signals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
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

#include "tests/support/notify_socket.h"
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
    // `inChild` runs in the child just before the start, its output and error already in place.
    Headless(const std::vector<std::string>& arguments, const std::filesystem::path& out,
             std::vector<std::string> extraEnvironment = {}, const std::function<void()>& inChild = {}) {
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
            if (inChild) inChild();
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

// The bytes waiting in a pipe, and all of them read.
int Queued(int fd) {
    int bytes = 0;
    ::ioctl(fd, FIONREAD, &bytes);
    return bytes;
}

std::string ReadAvailable(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t size = 0; (size = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(size));
    return text;
}

// The last STATUS= systemd was told.
std::string LastStatus(const NotifySocket& systemd) {
    std::string status;
    for (const NotifySocket::Message& message : systemd.Messages())
        if (const std::size_t at = message.text.find("STATUS="); at != std::string::npos)
            status = message.text.substr(at + 7);
    return status;
}

// The whole line holding `part`, or nothing.
std::string LineWith(const std::string& text, const std::string& part) {
    const std::size_t at = text.find(part);
    if (at == std::string::npos) return {};
    const std::size_t start = text.rfind('\n', at);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    return text.substr(from, text.find('\n', at) - from);
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
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

// `tessiv --headless | less` with the pager stopped, or a stalled journal: output and error share a pipe
// nobody reads. The monitor goes on (reloads are still taken), what does not fit is dropped and counted, the
// count is said when the reader is back, and SIGTERM still ends it at once.
TEST(Headless, AStalledReaderCostsLinesButNeverTheMonitor) {
    TempDir dir;
    WriteFileBytes(dir / "Setting.ini", "");
    // Each reload says several lines: tessiv.conf's problems, the reload itself, the empty list.
    std::string junk;
    for (int line = 0; line < 20; ++line) junk += "junk\n";
    WriteFileBytes(dir / "tessiv.conf", junk);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const int capacity = ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, dir / "unused.txt", {}, [&] {
        ::dup2(ends[1], STDOUT_FILENO);
        ::dup2(ends[1], STDERR_FILENO);
    });
    ::close(ends[1]);
    // SIGHUP ends a process that has not set up its handler yet.
    ASSERT_TRUE(WaitFor([&] { return Queued(ends[0]) > 0; }));
    // Far more than the pipe and the monitor's own queue hold, a reload every few milliseconds.
    const auto flood = [&](int reloads) {
        for (int reload = 0; reload < reloads; ++reload) {
            ::kill(monitor.pid(), SIGHUP);
            std::this_thread::sleep_for(5ms);
        }
    };
    flood(400);

    std::string text;
    const std::string dropped = " lines of output were dropped\n";
    ASSERT_TRUE(WaitFor([&] {
        text += ReadAvailable(ends[0]);
        return text.find(dropped) != std::string::npos;
    })) << text.substr(0, 2000);
    const std::string said = LineWith(text, dropped);
    ASSERT_TRUE(said.starts_with("<4>tessiv: ")) << said;
    EXPECT_GT(std::stoul(said.substr(11)), 0u) << said;
    // Whole lines only, each with its priority.
    std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("<", 0), 0u) << line;

    flood(50);
    // Full but for less than a line: a pipe's page takes no line that does not fit whole.
    ASSERT_TRUE(WaitFor([&] { return Queued(ends[0]) > capacity - 256; }));
    const auto sent = Clock::now();
    ::kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.WaitExit(1s), 0);
    EXPECT_LT(Clock::now() - sent, 1s);
    ::close(ends[0]);
}

// Started with standard input, output and error closed, as a careless service manager may: no file the
// monitor opens takes their place, so no line ends up inside a file of the data folder (the lock file, which
// goes at the end, is looked at while the monitor runs).
TEST(Headless, AStartWithoutStandardDescriptorsWritesNothingIntoTheDataFolder) {
    TempDir dir;
    TempDir elsewhere;
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    WriteFileBytes(dir / "Setting.ini", "C," + faulty.url() + "@1\r\n");
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, elsewhere / "out.txt", {}, [] {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::close(fd);
    });
    // Its line on standard output comes before the alarm is written to log.txt.
    const std::string alarm = gbk::FromUtf8(" ------ C 位置服务器 2012-05-06 06:00:00 异常 ------");
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(dir / "log.txt").find(alarm) != std::string::npos; }));

    int files = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(dir.path())) {
        if (!file.is_regular_file()) continue;
        ++files;
        const std::string text = ReadFileBytes(file.path());
        for (const char* output : {"<6>", "<3>", "tessiv:", "服务器监控程序已经启动"})
            EXPECT_EQ(text.find(output), std::string::npos) << file.path() << " holds " << output;
    }
    EXPECT_GE(files, 3);  // Setting.ini, log.txt and the lock file at least
    ::kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.WaitExit(5s), 0);
}

// A new service folder: nothing to watch, and a tessiv.conf with a key that means nothing. Both are warnings
// in the journal and systemd's status says it, at the start and after a reload.
TEST(Headless, NothingToWatchAndAnUnknownKeyAreWarnings) {
    TempDir dir;
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten_on = 127.0.0.1:9\n");
    const std::string path = (dir / "notify").string();
    NotifySocket systemd(path);
    const std::filesystem::path out = dir / "stdout.txt";
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, out, {"NOTIFY_SOCKET=" + path});

    const std::string noHost =
        "> 没有启用的服务器，不会查询任何服务器：" + (dir / "Setting.ini").string() + "\n";
    const std::string unknownKey = "> tessiv.conf line 2: unknown key \"metrics/listen_on\"";
    ASSERT_TRUE(WaitFor([&] { return Count(ReadText(out), unknownKey) == 1; })) << ReadText(out);
    const std::string text = ReadText(out);
    EXPECT_TRUE(LineWith(text, noHost).starts_with("<4><")) << text;
    EXPECT_TRUE(LineWith(text, unknownKey).starts_with("<4><")) << text;
    EXPECT_EQ(Count(text, "<4><"), 2u) << text;
    ASSERT_TRUE(WaitFor([&] { return LastStatus(systemd).ends_with("; no host is enabled"); }));

    ::kill(monitor.pid(), SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return Count(ReadText(out), unknownKey) == 2; })) << ReadText(out);
    EXPECT_EQ(Count(ReadText(out), noHost), 2u) << ReadText(out);
    EXPECT_EQ(Count(ReadText(out), "<4><"), 4u) << ReadText(out);
    ::kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.WaitExit(5s), 0);
}

// A Setting.ini saved as UTF-8 is read as ever, with one warning that names it; after each round systemd's
// status tells when it ended and how many hosts were in fault.
TEST(Headless, AUtf8ListIsWarnedAndTheStatusTellsTheLastRound) {
    TempDir dir;
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    StatusHost normal;
    WriteFileBytes(dir / "Setting.ini", "中心," + faulty.url() + "@1\r\nA," + normal.url() + "@1\r\n");
    const std::string path = (dir / "notify").string();
    NotifySocket systemd(path);
    const std::filesystem::path out = dir / "stdout.txt";
    Headless monitor({"--headless", "--data-dir", dir.path().string()}, out, {"NOTIFY_SOCKET=" + path});

    ASSERT_TRUE(WaitFor([&] { return LastStatus(systemd).find("; last round ended ") != std::string::npos; }))
        << LastStatus(systemd);
    EXPECT_TRUE(LastStatus(systemd).ends_with(", 1 of 2 hosts in fault")) << LastStatus(systemd);
    const std::string text = ReadText(out);
    EXPECT_EQ(Count(text, "<4><"), 1u) << text;
    EXPECT_TRUE(
        LineWith(text, "> " + (dir / "Setting.ini").string() + " 的内容是 UTF-8 编码").starts_with("<4><"))
        << text;
    // Read as ever: the name's bytes go on unchanged.
    EXPECT_NE(ReadFileBytes(dir / "log.txt").find("中心" + gbk::FromUtf8(" 位置服务器")), std::string::npos);
    ::kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.WaitExit(5s), 0);
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
