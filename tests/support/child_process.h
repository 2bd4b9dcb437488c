#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// How a child starts. Paths left empty are inherited from the test.
struct ChildOptions {
    bool inheritEnvironment = true;
    std::vector<std::string> unset;  // names of inherited variables left out
    std::vector<std::string> set;    // "NAME=value", over any inherited one
    std::filesystem::path workingDirectory;
    std::filesystem::path stdoutFile;  // created or truncated; the same path as stderrFile shares one file
    std::filesystem::path stderrFile;
    bool readStdout = false;  // standard output through a pipe, for ReadLine; stdoutFile then unused
    bool noCoreDump = false;  // a child meant to crash leaves no core file behind
};

// A program started by fork and exec, killed (SIGKILL) and reaped when this object goes. Everything the child
// needs is prepared before the fork, so it makes only system calls until exec: safe with threads and under
// ThreadSanitizer, unlike QProcess.
class ChildProcess {
public:
    // argv[0] is a full path, or a name looked up in PATH.
    explicit ChildProcess(std::vector<std::string> argv, ChildOptions options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Started() const { return m_pid > 0; }
    // Reaps the child if it has ended; never blocks, so Qt tests may poll it inside QTest::qWaitFor.
    bool Ended();
    // Waits at most `limit` for the end; false when it is still running.
    bool WaitEnd(std::chrono::milliseconds limit);
    // Once ended: the exit code, or -1 when a signal ended it. -1 while running.
    int ExitCode() const;
    // Once ended: the signal that ended it, else 0.
    int TermSignal() const;
    // "exited with 3", "killed by SEGV" or "still running", for failure messages.
    std::string Describe() const;

    void Signal(int number) const;
    void Kill();  // SIGKILL and reap; also for a stopped child

    // With readStdout: the next line of standard output without its end; empty on time-out or end.
    std::string ReadLine(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    bool m_ended = false;
    int m_status = 0;
    int m_output = -1;
};
