// The real `tessiv --headless` as a service manager runs it: no DISPLAY, no WAYLAND_DISPLAY, no
// QT_QPA_PLATFORM, its standard output a file, ended and reloaded by signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/notify_socket.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "text/gbk.h"
#include "tools/status_host.h"

namespace {

// Every "YYYY-MM-DD hh:mm:ss" in `text` as "T".
std::string WithoutTimes(const std::string& text) {
    constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    const auto isTime = [&](std::size_t at) {
        if (at + kShape.size() > text.size()) return false;
        for (std::size_t i = 0; i < kShape.size(); ++i) {
            const char c = text[at + i];
            if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) return false;
        }
        return true;
    };
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        if (isTime(at)) {
            out += 'T';
            at += kShape.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// At the program's own pace the first round starts about 4 s after the start, 2 s between hosts: whatever a
// test waits for comes well within this.
constexpr auto kLimit = 20s;

// What a service manager gives it: no display of any kind, standard output in `out` and error in `out`.err.
ChildOptions AsAService(const fs::path& out, std::vector<std::string> set = {}) {
    return {.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
            .set = std::move(set),
            .stdoutFile = out,
            .stderrFile = fs::path(out) += ".err"};
}

// The exit code once it ends by itself within `limit`; -1 if it still runs or a signal ended it.
int ExitWithin(ChildProcess& child, std::chrono::milliseconds limit) {
    return child.WaitEnd(limit) ? child.ExitCode() : -1;
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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

// A monitor per test on a folder of its own, its standard output in `out`.
class Headless : public testing::Test {
protected:
    // The command line of `tessiv --headless` on the test's folder.
    std::vector<std::string> Watching() const {
        return {TESSIV_EXECUTABLE, "--headless", "--data-dir", dir.path().string()};
    }
    std::string Out() const { return ReadText(out); }
    std::string Errors() const { return ReadText(fs::path(out) += ".err"); }
    bool Started() const {
        return WaitFor([&] { return Out().find("服务器监控程序已经启动!") != std::string::npos; }, kLimit);
    }
    // Sends `signal` as a service manager stops the service: the monitor ends by itself with status 0 within
    // `limit`. The time it took.
    static Clock::duration Stop(ChildProcess& monitor, std::chrono::milliseconds limit = 5s,
                                int signal = SIGTERM) {
        const auto sent = Clock::now();
        monitor.Signal(signal);
        EXPECT_EQ(ExitWithin(monitor, limit), 0) << monitor.Describe();
        return Clock::now() - sent;
    }

    TempDir dir;
    fs::path out = dir / "stdout.txt";
};

TEST_F(Headless, PollsWithoutADisplayWritesMarkedLinesAndEndsWithinASecondOfSigtermMidQuery) {
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    StatusHost normal;
    StatusHost hanging(Scenario{.hang = true});
    WriteFileBytes(dir / "Setting.ini",
                   "C," + faulty.url() + "@1\r\nA," + normal.url() + "@1\r\nH," + hanging.url() + "@1\r\n");
    ChildProcess monitor(Watching(), AsAService(out));

    ASSERT_TRUE(WaitFor([&] { return hanging.requestCount() > 0; }, kLimit)) << Errors();
    const std::string maps = ReadText("/proc/" + std::to_string(monitor.Pid()) + "/maps");
    EXPECT_EQ(maps.find("/platforms/"), std::string::npos) << "a GUI platform plugin was loaded";
    EXPECT_LT(Stop(monitor, 1s), 1s);

    const std::string text = Out();
    EXPECT_TRUE(text.starts_with("<6>服务器监控程序已经启动!\n")) << text;
    EXPECT_NE(text.find("<3>001 <"), std::string::npos) << text;
    EXPECT_NE(text.find(" ------ C 位置服务器 2012-05-06 06:00:00 异常 ------\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" A 正常... "), std::string::npos) << text;
    EXPECT_NE(ReadFileBytes(dir / "log.txt")
                  .find(gbk::FromUtf8(" ------ C 位置服务器 2012-05-06 06:00:00 异常 ------")),
              std::string::npos);
}

// tessivd is the same monitor without a desktop: the lines `tessiv --headless` writes, and no GUI, sound or
// D-Bus library in its memory.
TEST_F(Headless, TessivdWritesTheHeadlessLinesAndMapsNoDesktopLibrary) {
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    StatusHost normal;
    const std::string list = "C," + faulty.url() + "@1\r\nA," + normal.url() + "@1\r\n";
    TempDir daemonDir;
    const fs::path daemonOut = daemonDir / "stdout.txt";
    WriteFileBytes(dir / "Setting.ini", list);
    WriteFileBytes(daemonDir / "Setting.ini", list);
    ChildProcess headless(Watching(), AsAService(out));
    ChildProcess daemon({TESSIVD_EXECUTABLE, "--data-dir", daemonDir.path().string()}, AsAService(daemonOut));

    const auto roundDone = [](const fs::path& file) {
        return ReadText(file).find(" A 正常... ") != std::string::npos;
    };
    ASSERT_TRUE(WaitFor([&] { return roundDone(out) && roundDone(daemonOut); }, kLimit))
        << Errors() << ReadText(fs::path(daemonOut) += ".err");
    const std::string maps = ReadText("/proc/" + std::to_string(daemon.Pid()) + "/maps");
    EXPECT_NE(maps.find("libQt6Core.so"), std::string::npos);
    for (const char* library :
         {"libQt6Gui", "libQt6Widgets", "libQt6Multimedia", "libQt6DBus", "libX11", "libxcb", "libwayland",
          "libGL", "libEGL", "libasound", "libpulse", "libgstreamer", "libdbus-1"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library << " is mapped";
    Stop(headless);
    Stop(daemon);

    // The same lines but for the times they were written.
    const std::string daemonText = WithoutTimes(ReadText(daemonOut));
    EXPECT_EQ(daemonText, WithoutTimes(Out()));
    EXPECT_NE(daemonText.find("<3>001 <T> ------ C 位置服务器 T 异常 ------\n"), std::string::npos)
        << daemonText;
}

// Asking plain http hosts needs no TLS: libcurl and what it pulls in stay out of the monitor until a webhook
// or a channel sends something.
TEST_F(Headless, AskingHttpHostsMapsNoLibcurl) {
    StatusHost normal;
    WriteFileBytes(dir / "Setting.ini", "A," + normal.url() + "@1\r\n");
    ChildProcess monitor(Watching(), AsAService(out));

    ASSERT_TRUE(WaitFor([&] { return Out().find(" A 正常... ") != std::string::npos; }, kLimit)) << Errors();
    const std::string maps = ReadText("/proc/" + std::to_string(monitor.Pid()) + "/maps");
    EXPECT_NE(maps.find("libQt6Core.so"), std::string::npos);
    for (const char* library : {"libcurl", "libgnutls", "libldap", "librtmp", "libssh2", "libnghttp2"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library << " is mapped";
    Stop(monitor);
}

// A host's text is data: CR LF and escape sequences in a report add no record to log.txt, no line to the
// journal and no line or terminal command to the hook's TESSIV_LINE.
TEST_F(Headless, AReportsControlBytesNeverForgeARecordOrReachATerminal) {
    const std::string forged = "\r\n001 <2026-01-01 00:00:00> ------ B 位置服务器 伪造 异常 ------";
    StatusHost host(Scenario{.apps = {{"位置服务器" + forged + "\x1b]0;owned\x07\x1b[2J", "06:00\r\nsos"}}});
    WriteFileBytes(dir / "Setting.ini", "C," + host.url() + "@1\r\n");
    WriteFileBytes(dir / "hook.sh",
                   "#!/bin/sh\nprintf '%s' \"$TESSIV_LINE\" > " + (dir / "hook.txt").string() + "\n");
    fs::permissions(dir / "hook.sh", fs::perms::owner_all);
    WriteFileBytes(dir / "tessiv.conf", "[hooks]\ncommand = " + (dir / "hook.sh").string() + "\n");
    ChildProcess monitor(Watching(), AsAService(out));
    ASSERT_TRUE(WaitFor([&] { return !ReadText(dir / "hook.txt").empty(); }, kLimit)) << Errors();
    Stop(monitor, 1s);

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
    const std::string text = Out();
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find("\n001 <2026-01-01"), std::string::npos) << text;
    EXPECT_NE(text.find("<3>001 <"), std::string::npos) << text;
}

TEST_F(Headless, SighupTakesANewTessivConfWithoutARestart) {
    WriteFileBytes(dir / "Setting.ini", "");
    ChildProcess monitor(Watching(), AsAService(out));
    ASSERT_TRUE(Started()) << Errors();

    const int port = FreePort();
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten = 127.0.0.1:" + std::to_string(port) + "\n");
    httplib::Client client("127.0.0.1", port);
    EXPECT_FALSE(client.Get("/metrics"));
    monitor.Signal(SIGHUP);

    ASSERT_TRUE(WaitFor([&] { return Out().find("<6><") != std::string::npos; }, kLimit)) << Out();
    EXPECT_NE(Out().find("已按请求重新读取 Setting.ini"), std::string::npos);
    std::string body;
    ASSERT_TRUE(WaitFor(
        [&] {
            const httplib::Result scrape = client.Get("/metrics");
            if (scrape && scrape->status == 200) body = scrape->body;
            return !body.empty();
        },
        5s));
    EXPECT_NE(body.find("tessiv_"), std::string::npos);
    Stop(monitor, 1s, SIGINT);
}

// One monitor per folder, with or without a window: the later start says who holds the folder and leaves.
TEST_F(Headless, ASecondStartInAWatchedFolderLeavesSayingWhy) {
    WriteFileBytes(dir / "Setting.ini", "");
    ChildProcess first(Watching(), AsAService(out));
    ASSERT_TRUE(Started()) << Errors();

    const fs::path second = dir / "second.txt";
    const std::string holder = "a monitor without a window already watches";
    ChildProcess headless(Watching(), AsAService(second));
    EXPECT_EQ(ExitWithin(headless, 5s), 1) << headless.Describe();
    EXPECT_NE(ReadText(dir / "second.txt.err").find(holder), std::string::npos);
    ChildProcess window({TESSIV_EXECUTABLE, "--data-dir", dir.path().string()},
                        AsAService(second, {"QT_QPA_PLATFORM=offscreen"}));
    EXPECT_EQ(ExitWithin(window, 5s), 1) << window.Describe();
    EXPECT_NE(ReadText(dir / "second.txt.err").find(holder), std::string::npos);
    EXPECT_EQ(Out().find("<3>"), std::string::npos);
}

// `tessiv --headless | less` with the pager stopped, or a stalled journal: output and error share a pipe
// nobody reads. The monitor goes on (reloads are still taken), what does not fit is dropped and counted, the
// count is said when the reader is back, and SIGTERM still ends it at once.
TEST_F(Headless, AStalledReaderCostsLinesButNeverTheMonitor) {
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
    // The pipe's writing end by its name in /proc: opened again, it is the same pipe.
    const fs::path pipe = "/proc/self/fd/" + std::to_string(ends[1]);
    ChildOptions options = AsAService(pipe);
    options.stderrFile = pipe;
    ChildProcess monitor(Watching(), options);
    ::close(ends[1]);
    // SIGHUP ends a process that has not set up its handler yet.
    ASSERT_TRUE(WaitFor([&] { return Queued(ends[0]) > 0; }, kLimit)) << monitor.Describe();
    // Far more than the pipe and the monitor's own queue hold, a reload every few milliseconds.
    const auto flood = [&](int reloads) {
        for (int reload = 0; reload < reloads; ++reload) {
            monitor.Signal(SIGHUP);
            std::this_thread::sleep_for(5ms);
        }
    };
    flood(400);

    std::string text;
    const std::string dropped = " lines of output were dropped\n";
    ASSERT_TRUE(WaitFor(
        [&] {
            text += ReadAvailable(ends[0]);
            return text.find(dropped) != std::string::npos;
        },
        kLimit))
        << text.substr(0, 2000);
    const std::string said = LineWith(text, dropped);
    ASSERT_TRUE(said.starts_with("<4>tessiv: ")) << said;
    EXPECT_GT(std::stoul(said.substr(11)), 0u) << said;
    // Whole lines only, each with its priority.
    std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("<", 0), 0u) << line;

    flood(50);
    // Full but for less than a line: a pipe's page takes no line that does not fit whole.
    ASSERT_TRUE(WaitFor([&] { return Queued(ends[0]) > capacity - 256; }, kLimit));
    EXPECT_LT(Stop(monitor, 1s), 1s);
    ::close(ends[0]);
}

// Started with standard input, output and error closed, as a careless service manager may: no file the
// monitor opens takes their place, so no line ends up inside a file of the data folder (the lock file, which
// goes at the end, is looked at while the monitor runs).
TEST_F(Headless, AStartWithoutStandardDescriptorsWritesNothingIntoTheDataFolder) {
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    WriteFileBytes(dir / "Setting.ini", "C," + faulty.url() + "@1\r\n");
    std::vector<std::string> closed = {"sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"};
    for (const std::string& argument : Watching()) closed.push_back(argument);
    ChildProcess monitor(closed, {.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}});
    // Its line on standard output comes before the alarm is written to log.txt.
    const std::string alarm = gbk::FromUtf8(" ------ C 位置服务器 2012-05-06 06:00:00 异常 ------");
    ASSERT_TRUE(
        WaitFor([&] { return ReadFileBytes(dir / "log.txt").find(alarm) != std::string::npos; }, kLimit))
        << monitor.Describe();

    int files = 0;
    for (const auto& file : fs::recursive_directory_iterator(dir.path())) {
        if (!file.is_regular_file()) continue;
        ++files;
        const std::string text = ReadFileBytes(file.path());
        for (const char* output : {"<6>", "<3>", "tessiv:", "服务器监控程序已经启动"})
            EXPECT_EQ(text.find(output), std::string::npos) << file.path() << " holds " << output;
    }
    EXPECT_GE(files, 3);  // Setting.ini, log.txt and the lock file at least
    Stop(monitor);
}

// A new service folder: nothing to watch, and a tessiv.conf with a key that means nothing. Both are warnings
// in the journal and systemd's status says it, at the start and after a reload.
TEST_F(Headless, NothingToWatchAndAnUnknownKeyAreWarnings) {
    WriteFileBytes(dir / "tessiv.conf", "[metrics]\nlisten_on = 127.0.0.1:9\n");
    const std::string path = (dir / "notify").string();
    NotifySocket systemd(path);
    ChildProcess monitor(Watching(), AsAService(out, {"NOTIFY_SOCKET=" + path}));

    const std::string noHost =
        "> 没有启用的服务器，不会查询任何服务器：" + (dir / "Setting.ini").string() + "\n";
    const std::string unknownKey = "> tessiv.conf line 2: unknown key \"metrics/listen_on\"";
    ASSERT_TRUE(WaitFor([&] { return Count(Out(), unknownKey) == 1; }, kLimit)) << Out();
    const std::string text = Out();
    EXPECT_TRUE(LineWith(text, noHost).starts_with("<4><")) << text;
    EXPECT_TRUE(LineWith(text, unknownKey).starts_with("<4><")) << text;
    EXPECT_EQ(Count(text, "<4><"), 2u) << text;
    ASSERT_TRUE(WaitFor([&] { return LastStatus(systemd).ends_with("; no host is enabled"); }, kLimit));

    monitor.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return Count(Out(), unknownKey) == 2; }, kLimit)) << Out();
    EXPECT_EQ(Count(Out(), noHost), 2u) << Out();
    EXPECT_EQ(Count(Out(), "<4><"), 4u) << Out();
    Stop(monitor);
}

// A Setting.ini saved as UTF-8 is read as ever, with one warning that names it; after each round systemd's
// status tells when it ended and how many hosts were in fault.
TEST_F(Headless, AUtf8ListIsWarnedAndTheStatusTellsTheLastRound) {
    StatusHost faulty(Scenario{.apps = {{"位置服务器", "2012-05-06 06:00:00"}}});
    StatusHost normal;
    WriteFileBytes(dir / "Setting.ini", "中心," + faulty.url() + "@1\r\nA," + normal.url() + "@1\r\n");
    const std::string path = (dir / "notify").string();
    NotifySocket systemd(path);
    ChildProcess monitor(Watching(), AsAService(out, {"NOTIFY_SOCKET=" + path}));

    ASSERT_TRUE(
        WaitFor([&] { return LastStatus(systemd).find("; last round ended ") != std::string::npos; }, kLimit))
        << LastStatus(systemd);
    EXPECT_TRUE(LastStatus(systemd).ends_with(", 1 of 2 hosts in fault")) << LastStatus(systemd);
    const std::string text = Out();
    EXPECT_EQ(Count(text, "<4><"), 1u) << text;
    EXPECT_TRUE(
        LineWith(text, "> " + (dir / "Setting.ini").string() + " 的内容是 UTF-8 编码").starts_with("<4><"))
        << text;
    // Read as ever: the name's bytes go on unchanged.
    EXPECT_NE(ReadFileBytes(dir / "log.txt").find("中心" + gbk::FromUtf8(" 位置服务器")), std::string::npos);
    Stop(monitor);
}

TEST_F(Headless, CommandLineMistakesExitWithStatusTwoAndSayWhy) {
    ChildProcess missing({TESSIV_EXECUTABLE, "--headless", "--data-dir", (dir / "nowhere").string()},
                         AsAService(out));
    EXPECT_EQ(ExitWithin(missing, 5s), 2) << missing.Describe();
    EXPECT_NE(Errors().find("nowhere"), std::string::npos);
    ChildProcess unknown({TESSIV_EXECUTABLE, "--headless", "-platform", "xcb"}, AsAService(out));
    EXPECT_EQ(ExitWithin(unknown, 5s), 2) << unknown.Describe();
    EXPECT_NE(Errors().find("unknown option -platform"), std::string::npos);
}

}  // namespace
