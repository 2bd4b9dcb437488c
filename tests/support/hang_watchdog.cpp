#include "tests/support/hang_watchdog.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

void DumpAllThreads() {
    std::fprintf(stderr,
                 "\n==== test process %d still running after its time limit: stacks of all threads ====\n",
                 static_cast<int>(::getpid()));
    std::fflush(stderr);
    const std::string pid = std::to_string(::getpid());
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::execlp("gdb", "gdb", "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt", nullptr);
        ::execlp("eu-stack", "eu-stack", "-p", pid.c_str(), nullptr);
        std::fputs("neither gdb nor eu-stack could be run\n", stderr);
        ::_exit(127);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
    std::fputs("==== end of stacks ====\n", stderr);
    std::fflush(stderr);
}

}  // namespace

void StartHangWatchdog(int seconds) {
    // Let the debugger attach to us even where ptrace is limited to ancestors.
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        DumpAllThreads();
        std::abort();
    }).detach();
}

void StartHangWatchdog() {
    const char* text = std::getenv("TESSIV_TEST_HANG_SECONDS");
    int seconds = text != nullptr ? std::atoi(text) : 270;
    if (seconds > 0) StartHangWatchdog(seconds);
}
