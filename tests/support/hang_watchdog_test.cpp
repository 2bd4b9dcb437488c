#include "tests/support/hang_watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

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
    TempDir dir;
    ChildProcess child(
        {std::filesystem::read_symlink("/proc/self/exe").string(), "--gtest_filter=HangWatchdog.*"},
        {.set = {"TESSIV_HANG_WATCHDOG_CHILD=1", "TESSIV_TEST_HANG_SECONDS=1"},
         .stderrFile = dir / "stderr.txt"});
    ASSERT_TRUE(child.WaitEnd(std::chrono::seconds(30))) << ReadFileBytes(dir / "stderr.txt");
    const std::string text = ReadFileBytes(dir / "stderr.txt");
    EXPECT_EQ(child.TermSignal(), SIGABRT) << child.Describe() << "\n" << text;
    EXPECT_NE(text.find("stacks of all threads"), std::string::npos) << text;
    EXPECT_NE(text.find("WaitsForSomethingThatNeverComes"), std::string::npos) << text;
}

}  // namespace
