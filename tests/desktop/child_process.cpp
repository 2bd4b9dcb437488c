#include "tests/desktop/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, Output output) {
    // Everything the child needs is built before the fork: between fork and exec it may only call
    // async-signal-safe functions.
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText(environment);
    std::vector<char*> envp;
    for (std::string& text : envText) envp.push_back(text.data());
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    envp.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    if (output == Output::Read && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that crashes leaves no service behind
        if (pipeEnds[1] >= 0) ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
    m_output = pipeEnds[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_output >= 0) ::close(m_output);
}

std::string ChildProcess::ReadLine(int timeoutMs) {
    std::string line;
    char byte = 0;
    pollfd ready{m_output, POLLIN, 0};
    while (m_output >= 0 && ::poll(&ready, 1, timeoutMs) == 1 && ::read(m_output, &byte, 1) == 1) {
        if (byte == '\n') return line;
        line += byte;
    }
    return {};
}

int ChildProcess::Wait() {
    int status = 0;
    if (m_pid <= 0 || ::waitpid(m_pid, &status, 0) != m_pid) return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
