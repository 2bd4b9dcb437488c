#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A program run by fork and exec, ended with SIGTERM when this object goes. Qt's QProcess shares the address
// space with the child until it execs, which ThreadSanitizer cannot follow once threads exist.
class ChildProcess {
public:
    enum class Output { Inherited, Read };

    // `program` is a full path; `environment` entries ("NAME=value") take precedence over ours.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {}, Output output = Output::Inherited);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // With Output::Read: the first line the program writes to its standard output, without the line end;
    // empty on time-out.
    std::string ReadLine(int timeoutMs);
    // The exit code once it has ended by itself, or -1.
    int Wait();

private:
    pid_t m_pid = -1;
    int m_output = -1;
};
