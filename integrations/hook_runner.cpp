#include "integrations/hook_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

// Our environment without any TESSIV_ variable of our own, then the notice's.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& notice) {
    std::vector<std::string> all;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable)
        if (std::strncmp(*variable, "TESSIV_", 7) != 0) all.emplace_back(*variable);
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
    explicit OwnedFd(int descriptor) : fd(descriptor) {}
    ~OwnedFd() {
        if (fd >= 0) close(fd);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int fd;
};

std::string DurationText(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
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
    if (m_wake >= 0) close(m_wake);
}

void HookRunner::Run(const Notice& notice) {
    std::uint64_t dropped = 0;
    {
        std::lock_guard hold(m_mutex);
        if (m_stopping) return;
        if (m_queue.size() >= m_limits.queueLimit) {
            m_queue.pop_front();
            dropped = ++m_dropped;
        }
        m_queue.push_back(NoticeEnvironment(notice));
    }
    m_changed.notify_one();
    if (dropped > 0)
        m_report.Failed("hook command: too many alarms at once, " + std::to_string(dropped) +
                        " dropped so far");
}

std::uint64_t HookRunner::Dropped() const {
    std::lock_guard hold(m_mutex);
    return m_dropped;
}

void HookRunner::Work() {
    for (;;) {
        std::vector<std::string> environment;
        {
            std::unique_lock hold(m_mutex);
            m_changed.wait(hold, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping) return;
            environment = std::move(m_queue.front());
            m_queue.pop_front();
        }
        const std::string failure = RunOne(environment);
        if (!failure.empty()) m_report.Failed("hook command " + m_command.front() + " " + failure);
    }
}

std::string HookRunner::RunOne(const std::vector<std::string>& environment) {
    std::vector<std::string> arguments = m_command;
    std::vector<std::string> variables = ChildEnvironment(environment);
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(variables);
    SpawnSetup setup;
    pid_t pid = 0;
    if (const int error =
            posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), envp.data());
        error != 0)
        return std::string("could not be started: ") + std::strerror(error);

    // A pidfd turns the child's end into a readable descriptor, waited on together with the stop signal.
    const OwnedFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    const auto deadline = std::chrono::steady_clock::now() + m_limits.killAfter;
    int status = 0;
    bool killed = false;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        bool stopping = false;
        {
            std::lock_guard hold(m_mutex);
            stopping = m_stopping;
        }
        if (stopping || left.count() <= 0) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (stopping) return {};  // cut short because the monitor closes: not the hook's failure
            killed = true;
            break;
        }
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {pidfd.fd, POLLIN, 0}};
        // Without a pidfd, look again every 10 ms.
        const int wait =
            pidfd.fd >= 0 ? static_cast<int>(left.count()) : std::min(10, static_cast<int>(left.count()));
        poll(fds, pidfd.fd >= 0 ? 2 : 1, wait);
    }
    if (killed) return "was killed after " + DurationText(m_limits.killAfter);
    return Describe(status);
}
