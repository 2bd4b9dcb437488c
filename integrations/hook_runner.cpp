#include "integrations/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace {

// Our environment without any TESSIV_ variable of our own, nor systemd's notification socket and watchdog,
// which speak for the service and not for a hook; then the notice's.
bool KeptForHook(std::string_view variable) {
    for (const std::string_view own : {"TESSIV_", "NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID="})
        if (variable.starts_with(own)) return false;
    return true;
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& notice) {
    std::vector<std::string> all;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable)
        if (KeptForHook(*variable)) all.emplace_back(*variable);
    all.insert(all.end(), notice.begin(), notice.end());
    return all;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        // Output goes nowhere, and nothing can wait for input.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        // And nothing else of ours: no connection, pipe or file the monitor holds.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        // Its own process group, so the time-out also ends whatever it started.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(
            &attributes,
            static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
};

std::string Describe(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? "" : "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
    return "ended abnormally";
}

// Closes a descriptor at the end of the scope; -1 holds nothing.
struct OwnedFd {
    explicit OwnedFd(int descriptor = -1) : fd(descriptor) {}
    ~OwnedFd() { Reset(); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    void Reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    int fd;
};

std::string DurationText(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

// What a keeper tells the runner when everything below it has ended.
struct KeeperReport {
    int spawnError = 0;  // errno of the start; the rest is meaningless when set
    int status = 0;      // the hook's wait status
    int killed = 0;      // 1 when the runner asked for the end
};

// How long the runner waits for a keeper that was asked to end everything. Only a descendant that cannot
// be killed (uninterruptible sleep, or one that gained privileges) holds a keeper up longer.
constexpr std::chrono::milliseconds kKeeperGrace{1'000};

// The keeper is a fork of the monitor without exec, so everything below runs in a copy of one thread of a
// multi-threaded process: only async-signal-safe calls, no allocation.

void CloseRangeIfAny(unsigned first, unsigned last) {
    if (first <= last) close_range(first, last, 0);
}

// Leaves 0, 1, 2, `a` and `b` open.
void CloseAllBut(int a, int b) {
    unsigned next = 3;
    for (const int keep : {std::min(a, b), std::max(a, b)}) {
        if (keep < 0 || static_cast<unsigned>(keep) < next) continue;
        CloseRangeIfAny(next, static_cast<unsigned>(keep) - 1);
        next = static_cast<unsigned>(keep) + 1;
    }
    CloseRangeIfAny(next, ~0U);
}

// SIGKILL to every direct child, as /proc lists them (a kernel without that list leaves the keeper to wait
// for them instead).
void KillChildren() {
    char path[64] = "/proc/self/task/";
    std::size_t at = std::strlen(path);
    char digits[16];
    std::size_t count = 0;
    for (auto pid = static_cast<unsigned long>(getpid()); pid != 0 || count == 0; pid /= 10)
        digits[count++] = static_cast<char>('0' + pid % 10);
    while (count > 0) path[at++] = digits[--count];
    std::memcpy(path + at, "/children", sizeof "/children");

    const int list = open(path, O_RDONLY | O_CLOEXEC);
    if (list < 0) return;
    char buffer[512];
    pid_t pid = 0;
    for (ssize_t got; (got = read(list, buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] >= '0' && buffer[i] <= '9') {
                pid = pid * 10 + (buffer[i] - '0');
            } else if (pid > 0) {
                kill(pid, SIGKILL);
                pid = 0;
            }
        }
    }
    if (pid > 0) kill(pid, SIGKILL);
    close(list);
}

// Kills and reaps every process below the keeper. As a child subreaper the keeper inherits whatever a
// killed child leaves behind, so this ends when nothing is left.
void EndEverythingBelow() {
    for (;;) {
        KillChildren();
        int status = 0;
        if (waitpid(-1, &status, 0) < 0 && errno == ECHILD) return;
    }
}

// The process between the runner and one hook: a child subreaper, so everything the hook starts stays below
// it however it detaches (background, new group or session, double fork). It ends only after all of that
// has ended: when the hook exits, when the runner asks (a byte or end of file on `command`), and when the
// monitor is gone, since the monitor's end closes `command` too.
[[noreturn]] void Keep(int command, int report, SpawnSetup& setup, char* const* argv, char* const* envp) {
    CloseAllBut(command, report);  // a keeper holding another's command pipe would keep it from its end
    prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L);
    prctl(PR_SET_NAME, "tessiv-hook", 0L, 0L, 0L);
    signal(SIGCHLD, SIG_DFL);  // ended children must stay to be reaped here, whatever the monitor set
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);  // only SIGKILL ends a keeper early
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    const int children = signalfd(-1, &childEnded, SFD_CLOEXEC | SFD_NONBLOCK);

    KeeperReport result;
    pid_t hook = 0;
    result.spawnError = posix_spawnp(&hook, argv[0], &setup.actions, &setup.attributes, argv, envp);
    for (bool ended = result.spawnError != 0; !ended;) {
        pollfd fds[2] = {{result.killed ? -1 : command, POLLIN, 0}, {children, POLLIN, 0}};
        poll(fds, 2, children >= 0 ? -1 : 10);
        if (fds[0].revents != 0) {
            result.killed = 1;
            kill(-hook, SIGKILL);
        }
        signalfd_siginfo drained[8];
        while (children >= 0 && read(children, drained, sizeof drained) > 0) {
        }
        // Peek before reaping: while the hook is an unreaped zombie its number cannot name another group.
        for (siginfo_t info{}; waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
             info = {}) {
            const pid_t pid = info.si_pid;
            if (pid == hook) kill(-hook, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            if (pid == hook) {
                result.status = status;
                ended = true;
            }
        }
    }
    EndEverythingBelow();
    [[maybe_unused]] const ssize_t written = write(report, &result, sizeof result);
    _exit(0);
}

// Waits until `fd` is readable, `wake` is, or `timeout` has passed; true for `fd`.
bool WaitReadable(int fd, int wake, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    const int ready = poll(fds, wake >= 0 ? 2 : 1, static_cast<int>(std::max<long long>(timeout.count(), 0)));
    return ready > 0 && fds[0].revents != 0;
}

}  // namespace

HookRunner::HookRunner(std::vector<std::string> command, RunPaneSink sink, HookLimits limits)
    : m_command(std::move(command)),
      m_limits(limits),
      m_report(std::move(sink), limits.reportEvery),
      m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    for (std::size_t i = 0; i < m_limits.parallel; ++i) m_workers.emplace_back([this] { Work(); });
}

HookRunner::~HookRunner() {
    {
        std::lock_guard hold(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(m_wake, &one, sizeof one);
    }
    for (std::thread& worker : m_workers) worker.join();
    ReapStrays();
    if (m_wake >= 0) close(m_wake);
}

void HookRunner::Run(const Notice& notice) {
    std::uint64_t dropped = 0;
    {
        std::lock_guard hold(m_mutex);
        if (m_stopping || m_finishing) return;
        if (m_queue.Push(NoticeEnvironment(notice))) dropped = m_queue.Dropped();
    }
    m_changed.notify_one();
    if (dropped > 0)
        m_report.Failed("hook command: too many alarms at once, " + std::to_string(dropped) +
                        " dropped so far");
}

std::uint64_t HookRunner::Dropped() const {
    std::lock_guard hold(m_mutex);
    return m_queue.Dropped();
}

void HookRunner::Finish() {
    {
        std::lock_guard hold(m_mutex);
        m_finishing = true;
    }
    m_changed.notify_all();
}

bool HookRunner::Finished() const {
    std::lock_guard hold(m_mutex);
    return m_workersEnded == m_workers.size();
}

void HookRunner::Work() {
    for (;;) {
        std::vector<std::string> environment;
        {
            std::unique_lock hold(m_mutex);
            m_changed.wait(hold, [this] { return m_stopping || m_finishing || !m_queue.Empty(); });
            if (m_stopping) return;
            if (m_queue.Empty()) {
                ++m_workersEnded;
                return;
            }
            environment = *m_queue.Pop();
        }
        const std::string failure = RunOne(environment);
        if (!failure.empty()) m_report.Failed("hook command " + m_command.front() + " " + failure);
    }
}

std::string HookRunner::RunOne(const std::vector<std::string>& environment) {
    ReapStrays();
    std::vector<std::string> arguments = m_command;
    std::vector<std::string> variables = ChildEnvironment(environment);
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(variables);
    SpawnSetup setup;
    int commandEnds[2] = {-1, -1};
    int reportEnds[2] = {-1, -1};
    if (pipe2(commandEnds, O_CLOEXEC) != 0)
        return std::string("could not be started: ") + std::strerror(errno);
    OwnedFd commandRead(commandEnds[0]);
    OwnedFd command(commandEnds[1]);
    if (pipe2(reportEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return std::string("could not be started: ") + std::strerror(errno);
    OwnedFd report(reportEnds[0]);
    OwnedFd reportWrite(reportEnds[1]);

    const pid_t keeper = fork();
    if (keeper < 0) return std::string("could not be started: ") + std::strerror(errno);
    if (keeper == 0) Keep(commandRead.fd, reportWrite.fd, setup, argv.data(), envp.data());
    commandRead.Reset();
    reportWrite.Reset();

    const auto deadline = std::chrono::steady_clock::now() + m_limits.killAfter;
    bool stopping = false;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (WaitReadable(report.fd, m_wake, left)) break;
        {
            std::lock_guard hold(m_mutex);
            stopping = m_stopping;
        }
        if (stopping || std::chrono::steady_clock::now() >= deadline) {
            timedOut = !stopping;
            command.Reset();  // the keeper kills the hook and everything it started
            WaitReadable(report.fd, -1, kKeeperGrace);
            break;
        }
    }

    KeeperReport result;
    const bool reported = read(report.fd, &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    int status = 0;
    if (reported) {
        // A keeper reports just before it exits.
        while (waitpid(keeper, &status, 0) < 0 && errno == EINTR) {
        }
    } else if (waitpid(keeper, &status, WNOHANG) == 0) {
        KeepStray(keeper);
    }
    if (stopping) return {};  // cut short because the monitor closes: not the hook's failure
    if (!reported) {
        if (timedOut)
            return "was killed after " + DurationText(m_limits.killAfter) +
                   ", but what it started did not end";
        return "ended abnormally";
    }
    if (result.spawnError != 0)
        return std::string("could not be started: ") + std::strerror(result.spawnError);
    if (result.killed) return "was killed after " + DurationText(m_limits.killAfter);
    return Describe(result.status);
}

void HookRunner::KeepStray(pid_t keeper) {
    std::lock_guard hold(m_mutex);
    m_strays.push_back(keeper);
}

void HookRunner::ReapStrays() {
    std::lock_guard hold(m_mutex);
    std::erase_if(m_strays, [](pid_t keeper) { return waitpid(keeper, nullptr, WNOHANG) != 0; });
}
