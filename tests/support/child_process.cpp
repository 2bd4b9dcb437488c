#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <thread>

extern char** environ;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string_view NameOf(std::string_view variable) {
    return variable.substr(0, variable.find('='));
}

std::vector<std::string> Environment(const ChildOptions& options) {
    std::vector<std::string> result(options.set);
    if (!options.inheritEnvironment) return result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view name = NameOf(*entry);
        const auto named = [&](std::string_view other) { return NameOf(other) == name; };
        if (std::none_of(options.unset.begin(), options.unset.end(), named) &&
            std::none_of(options.set.begin(), options.set.end(), named))
            result.emplace_back(*entry);
    }
    return result;
}

// The program as execve wants it: a name without a slash is looked up in PATH now, not in the child.
std::string Resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const std::string_view folder = rest.substr(0, rest.find(':'));
        rest.remove_prefix(std::min(rest.size(), folder.size() + 1));
        const std::string candidate = std::string(folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return program;
}

int OpenOutput(const std::filesystem::path& file) {
    return file.empty() ? -1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, ChildOptions options) {
    if (argv.empty()) return;
    const std::string program = Resolve(argv[0]);
    std::vector<char*> argp = Pointers(argv);
    std::vector<std::string> environment = Environment(options);
    std::vector<char*> envp = Pointers(environment);
    const std::string directory = options.workingDirectory.string();
    int pipeEnds[2] = {-1, -1};
    if (options.readStdout && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    const int out = options.readStdout ? pipeEnds[1] : OpenOutput(options.stdoutFile);
    const int err =
        !options.stderrFile.empty() && options.stderrFile == options.stdoutFile && !options.readStdout
            ? out
            : OpenOutput(options.stderrFile);
    const rlimit noCore{0, 0};

    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that crashes leaves no child behind
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(126);
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        if (options.noCoreDump) ::setrlimit(RLIMIT_CORE, &noCore);
        ::execve(program.c_str(), argp.data(), envp.data());
        ::_exit(127);
    }
    if (out >= 0) ::close(out);
    if (err >= 0 && err != out) ::close(err);
    m_output = pipeEnds[0];
}

ChildProcess::~ChildProcess() {
    Kill();
    if (m_output >= 0) ::close(m_output);
}

bool ChildProcess::Ended() {
    if (m_pid <= 0) return true;
    if (!m_ended && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_ended = true;
    return m_ended;
}

bool ChildProcess::WaitEnd(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Ended()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int ChildProcess::ExitCode() const {
    return m_ended && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

int ChildProcess::TermSignal() const {
    return m_ended && WIFSIGNALED(m_status) ? WTERMSIG(m_status) : 0;
}

std::string ChildProcess::Describe() const {
    if (m_pid <= 0) return "not started";
    if (!m_ended) return "still running";
    if (TermSignal() != 0) return std::string("killed by ") + ::sigabbrev_np(TermSignal());
    return "exited with " + std::to_string(ExitCode());
}

void ChildProcess::Signal(int number) const {
    if (m_pid > 0 && !m_ended) ::kill(m_pid, number);
}

void ChildProcess::Kill() {
    if (m_pid <= 0 || m_ended) return;
    ::kill(m_pid, SIGKILL);
    if (::waitpid(m_pid, &m_status, 0) == m_pid) m_ended = true;
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds limit) {
    std::string line;
    char byte = 0;
    pollfd ready{m_output, POLLIN, 0};
    while (m_output >= 0 && ::poll(&ready, 1, static_cast<int>(limit.count())) == 1 &&
           ::read(m_output, &byte, 1) == 1) {
        if (byte == '\n') return line;
        line += byte;
    }
    return {};
}
