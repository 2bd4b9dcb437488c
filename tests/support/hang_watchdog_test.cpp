#include "tests/support/hang_watchdog.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

[[gnu::noinline]] void WaitsForSomethingThatNeverComes() {
    std::this_thread::sleep_for(std::chrono::seconds(60));
}

// A test process that hangs prints every thread's stack before it is ended, so a rare hang in CI leaves
// evidence. The test runs itself again, with a one-second limit, as the hanging process.
TEST(HangWatchdog, AHungProcessPrintsItsThreadsStacksAndAborts) {
    if (std::getenv("TESSIV_HANG_WATCHDOG_CHILD") != nullptr) {
        WaitsForSomethingThatNeverComes();
        return;
    }
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], STDERR_FILENO);
        ::close(output[0]);
        ::setenv("TESSIV_HANG_WATCHDOG_CHILD", "1", 1);
        ::setenv("TESSIV_TEST_HANG_SECONDS", "1", 1);
        ::execl("/proc/self/exe", "hang_watchdog_test", "--gtest_filter=HangWatchdog.*", nullptr);
        ::_exit(127);
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
