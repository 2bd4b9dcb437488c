#include "guard/single_instance.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <QDir>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTest>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Variables set for one start; an empty value removes the variable.
using Variables = std::vector<std::pair<std::string, std::string>>;

// One start of the real program in `dir`, its standard error in dir/name; killed at the end of the scope if
// still running (also when stopped).
class Monitor {
public:
    Monitor(const fs::path& dir, const std::string& name, const std::vector<std::string>& arguments,
            const Variables& variables)
        : m_errors(dir / name), m_process(Argv(dir, arguments), Options(dir, m_errors, variables)) {}

    pid_t Pid() const { return m_process.Pid(); }
    bool Running() { return !m_process.Ended(); }
    // Keeps the event loop of this process turning meanwhile: it may be the one asked.
    bool EndsWithin(int ms) {
        return QTest::qWaitFor([this] { return m_process.Ended(); }, ms);
    }
    bool ExitedWithZero() const { return ExitStatus() == 0; }
    // -1 for a process killed by a signal.
    int ExitStatus() const { return m_process.ExitCode(); }
    std::string Errors() const { return ReadFileBytes(m_errors); }
    void Kill() { m_process.Kill(); }

private:
    static std::vector<std::string> Argv(const fs::path& dir, const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{(dir / "tessiv").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    static ChildOptions Options(const fs::path& dir, const fs::path& errors, const Variables& variables) {
        ChildOptions options{.unset = {"XDG_ACTIVATION_TOKEN"},
                             .set = {"QT_QPA_PLATFORM=offscreen"},
                             .workingDirectory = dir,
                             .stdoutFile = "/dev/null",
                             .stderrFile = errors};
        for (const auto& [variable, value] : variables) {
            if (value.empty())
                options.unset.push_back(variable);
            else
                options.set.push_back(variable + "=" + value);
        }
        return options;
    }

    fs::path m_errors;
    ChildProcess m_process;
};

// A copy of the program in a folder of its own: without per-user folders its files live beside it.
class MonitorFolder {
public:
    MonitorFolder() {
        std::error_code error;
        fs::create_hard_link(TESSIV_EXECUTABLE, m_dir / "tessiv", error);
        if (error) fs::copy_file(TESSIV_EXECUTABLE, m_dir / "tessiv");
        WriteFileBytes(m_dir / "Setting.ini", "");
    }
    const fs::path& path() const { return m_dir.path(); }
    std::unique_ptr<Monitor> Start(const std::string& name, const Variables& variables = {},
                                   const std::vector<std::string>& arguments = {}) {
        return std::make_unique<Monitor>(m_dir.path(), name + ".stderr", arguments, variables);
    }
    // The monitor of this folder takes connections (a hung one too: the system queues them).
    bool Listening() const {
        QLocalSocket probe;
        probe.connectToServer(SingleInstance::ServerName(m_dir.path()));
        return probe.waitForConnected(200);
    }

private:
    TempDir m_dir;
};

std::vector<std::string> OurLines(const std::string& errors) {
    std::vector<std::string> lines;
    std::istringstream in(errors);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("tessiv: ", 0) == 0) lines.push_back(line);
    return lines;
}

// Whether a process listens on a local socket bound to a path, as the system lists them.
bool ListensOnALocalSocket(qint64 pid) {
    std::vector<std::string> inodes;
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (!error && target.rfind("socket:[", 0) == 0) inodes.push_back(target.substr(8, target.size() - 9));
    }
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, references, protocol, flags, type, state, inode, path;
        fields >> slot >> references >> protocol >> flags >> type >> state >> inode >> path;
        const bool listening = flags == "00010000";
        if (listening && path.rfind('/', 0) == 0 &&
            std::find(inodes.begin(), inodes.end(), inode) != inodes.end())
            return true;
    }
    return false;
}

// A listener of the user nobody at `path`, in the place of what was there. What it receives comes back
// through a pipe. Runs in a child that only makes system calls (the test process has threads).
class Squatter {
public:
    explicit Squatter(const std::string& path) : m_path(path) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) Listen(path, ends[1]);
        ::close(ends[1]);
        m_out = ends[0];
    }
    ~Squatter() {
        Received();
        if (m_out >= 0) ::close(m_out);
        ::unlink(m_path.c_str());
    }
    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;

    // Waits for the listener; false when it could not take the place or become nobody.
    bool Ready() {
        pollfd ready{m_out, POLLIN, 0};
        char answer = 0;
        return m_pid > 0 && ::poll(&ready, 1, 15000) == 1 && ::read(m_out, &answer, 1) == 1 && answer == 'R';
    }
    // Everything it was sent; ends it.
    std::string Received() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        char buffer[256];
        for (ssize_t got; m_out >= 0 && (got = ::read(m_out, buffer, sizeof buffer)) > 0;)
            m_received.append(buffer, static_cast<std::size_t>(got));
        return m_received;
    }

private:
    [[noreturn]] static void Listen(const std::string& path, int out) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof address.sun_path - 1));
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::unlink(path.c_str());
        // Bound by root where only the user may write; listening as nobody is what a peer sees.
        if (listener < 0 ||
            ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::listen(listener, 8) != 0) {
            [[maybe_unused]] const ssize_t written = ::write(out, "F", 1);
            ::_exit(1);
        }
        [[maybe_unused]] ssize_t written = ::write(out, "R", 1);
        for (;;) {
            const int peer = ::accept(listener, nullptr, nullptr);
            if (peer < 0) continue;
            char buffer[256];
            for (ssize_t got; (got = ::read(peer, buffer, sizeof buffer)) > 0;)
                written = ::write(out, buffer, static_cast<std::size_t>(got));
            ::close(peer);
        }
    }

    std::string m_path;
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_received;
};

// A second start in a running monitor's folder, started there as the first or given a symbolic link to the
// folder (`tessiv --data-dir LINK`), brings that monitor forward and leaves instead of running beside it.
TEST(OneMonitorPerFolder, SecondStartBringsTheRunningMonitorForwardAndLeaves) {
    TempDir elsewhere;
    for (const bool throughLink : {false, true}) {
        SCOPED_TRACE(throughLink ? "through a link to the folder" : "in the folder");
        MonitorFolder folder;
        std::vector<std::string> arguments;
        if (throughLink) {
            fs::create_directory_symlink(folder.path(), elsewhere / "monitor");
            arguments = {"--data-dir", (elsewhere / "monitor").string()};
        }
        {
            SCOPED_TRACE("both starts are the program");
            std::unique_ptr<Monitor> first = folder.Start("first");
            ASSERT_TRUE(QTest::qWaitFor([&] { return folder.Listening(); }, 15000)) << first->Errors();
            std::unique_ptr<Monitor> second = folder.Start("second", {}, arguments);
            ASSERT_TRUE(second->EndsWithin(10000)) << second->Errors();
            EXPECT_TRUE(second->ExitedWithZero()) << second->Errors();
            EXPECT_TRUE(OurLines(second->Errors()).empty()) << second->Errors();
            EXPECT_TRUE(first->Running()) << first->Errors();
            // The first ends as in a crash: its lock file (naming a dead process) and its socket stay behind.
            first->Kill();
            ASSERT_TRUE(fs::exists(folder.path() / SingleInstance::kLockFileName));
        }
        {
            SCOPED_TRACE("the running monitor is this test's, in the crashed monitor's place");
            SingleInstance holder(folder.path());
            ASSERT_EQ(holder.TakeOrHandOver({}), SingleInstance::Claim::First);
            EXPECT_EQ(holder.Note(), "");
            QSignalSpy raised(&holder, &SingleInstance::RaiseRequested);
            std::unique_ptr<Monitor> second =
                folder.Start("again", {{"XDG_ACTIVATION_TOKEN", "token-7"}}, arguments);
            ASSERT_TRUE(second->EndsWithin(10000));
            EXPECT_TRUE(second->ExitedWithZero()) << second->Errors();
            ASSERT_EQ(raised.size(), 1);
            EXPECT_EQ(raised.at(0).at(0).toString(), QStringLiteral("token-7"));
        }
    }
}

TEST(OneMonitorPerFolder, SecondStartLeavesWhenTheRunningMonitorDoesNotAnswer) {
    MonitorFolder folder;
    std::unique_ptr<Monitor> first = folder.Start("first");
    ASSERT_TRUE(QTest::qWaitFor([&] { return folder.Listening(); }, 15000)) << first->Errors();
    ASSERT_EQ(::kill(static_cast<pid_t>(first->Pid()), SIGSTOP), 0);

    std::unique_ptr<Monitor> second = folder.Start("second");
    ASSERT_TRUE(second->EndsWithin(15000)) << second->Errors();
    EXPECT_EQ(second->ExitStatus(), 1) << second->Errors();
    const std::vector<std::string> lines = OurLines(second->Errors());
    ASSERT_EQ(lines.size(), 1u) << second->Errors();
    EXPECT_NE(lines[0].find("did not answer within 2 s"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(folder.path().string()), std::string::npos) << lines[0];
    ::kill(static_cast<pid_t>(first->Pid()), SIGCONT);
    EXPECT_TRUE(first->Running()) << first->Errors();
}

TEST(OneMonitorPerFolder, ALockFileThatIsNoRegularFileStopsTheStartSayingWhy) {
    for (const std::string kind : {"FIFO", "folder", "symbolic link"}) {
        SCOPED_TRACE(kind);
        MonitorFolder folder;
        const fs::path lock = folder.path() / SingleInstance::kLockFileName;
        if (kind == "FIFO") {
            ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
        } else if (kind == "folder") {
            fs::create_directory(lock);
        } else {
            WriteFileBytes(folder.path() / "elsewhere", "");
            fs::create_symlink("elsewhere", lock);
        }
        std::unique_ptr<Monitor> start = folder.Start("start");
        ASSERT_TRUE(start->EndsWithin(15000)) << start->Errors();
        EXPECT_EQ(start->ExitStatus(), 1);
        const std::vector<std::string> lines = OurLines(start->Errors());
        ASSERT_EQ(lines.size(), 1u) << start->Errors();
        EXPECT_NE(lines[0].find(lock.string()), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("a " + kind), std::string::npos) << lines[0];
    }
}

// A start in the desktop session and one from elsewhere (no XDG_RUNTIME_DIR) still find each other.
TEST(OneMonitorPerFolder, StartsWithAndWithoutARuntimeFolderFindEachOther) {
    MonitorFolder folder;
    TempDir runtime;  // the user's own, 0700
    std::unique_ptr<Monitor> first = folder.Start("first", {{"XDG_RUNTIME_DIR", runtime.path().string()}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return ListensOnALocalSocket(first->Pid()); }, 15000))
        << first->Errors();
    std::unique_ptr<Monitor> second = folder.Start("second", {{"XDG_RUNTIME_DIR", ""}});
    ASSERT_TRUE(second->EndsWithin(15000)) << second->Errors();
    EXPECT_EQ(second->ExitStatus(), 0) << second->Errors();
    EXPECT_TRUE(first->Running()) << first->Errors();
}

// Another user's listener put in the place of the running monitor's socket is not believed and gets no token.
TEST(OneMonitorPerFolder, AnotherUsersSocketGetsNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    MonitorFolder folder;
    std::unique_ptr<Monitor> first = folder.Start("first");
    ASSERT_TRUE(QTest::qWaitFor([&] { return folder.Listening(); }, 15000)) << first->Errors();
    QString socket = SingleInstance::ServerName(folder.path());
    if (!socket.startsWith(QLatin1Char('/'))) socket = QDir::tempPath() + QLatin1Char('/') + socket;
    Squatter squatter(socket.toStdString());
    ASSERT_TRUE(squatter.Ready());

    std::unique_ptr<Monitor> second = folder.Start("second", {{"XDG_ACTIVATION_TOKEN", "token-of-the-user"}});
    EXPECT_TRUE(second->EndsWithin(15000)) << second->Errors();
    EXPECT_EQ(second->ExitStatus(), 1) << second->Errors();
    EXPECT_EQ(squatter.Received(), "");
    EXPECT_EQ(second->Errors().find("token-of-the-user"), std::string::npos);
    EXPECT_TRUE(first->Running()) << first->Errors();
}

}  // namespace
