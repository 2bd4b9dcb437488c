#include "tests/support/hang_watchdog.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace {

[[gnu::noinline]] void WaitsForSomethingThatNeverComes() {
    std::this_thread::sleep_for(std::chrono::seconds(60));
}

// A test process that hangs prints every thread's stack before it is ended, so a rare hang in CI leaves
// evidence.
TEST(HangWatchdog, AHungProcessPrintsItsThreadsStacksAndAborts) {
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], STDERR_FILENO);
        ::close(output[0]);
        StartHangWatchdog(1);
        WaitsForSomethingThatNeverComes();
        ::_exit(0);
    }
    ::close(output[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(output[0], buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    ::close(output[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << text;
    EXPECT_NE(text.find("stacks of all threads"), std::string::npos) << text;
    EXPECT_NE(text.find("WaitsForSomethingThatNeverComes"), std::string::npos) << text;
}

}  // namespace
