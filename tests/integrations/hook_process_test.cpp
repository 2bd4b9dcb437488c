// Hook processes as the system sees them in /proc: nothing a hook starts outlives it, and it inherits no
// descriptor of ours.
#include <gtest/gtest.h>

#include <QString>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "integrations/hook_runner.h"
#include "integrations/webhook.h"
#include "tests/integrations/support.h"
#include "tests/support/pane_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"
#include "text/gbk.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A `sleep` argument no other process has: whole seconds, then this test's pid and `n` as the fraction.
std::string Mark(int n) {
    return "1000." + std::to_string(getpid()) + std::to_string(n);
}

// The processes, zombies aside, with `mark` among their arguments.
std::vector<pid_t> WithArgument(const std::string& mark) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string arguments = ReadFileBytes(entry.path() / "cmdline");
        if (arguments.find(std::string(1, '\0') + mark + '\0') != std::string::npos)
            found.push_back(std::stoi(name));
    }
    return found;
}

TEST(HookProcesses, NothingAHookStartsOutlivesIt) {
    TempDir dir;
    PaneRecorder lines;
    // The first hook ends on its own however slow the machine; the second is killed at its time.
    HookRunner runner({"/bin/sh", "-c", "eval \"$TESSIV_LINE\""}, lines.Sink(),
                      HookLimits{.killAfter = 60s, .reportEvery = 0s});
    const std::string release = (dir / "release").string();

    // Background, a double fork into a new session, and a new session: then the hook exits on its own.
    runner.Run(Notice{.line = "sleep " + Mark(1) + " & setsid -f sleep " + Mark(2) + "; setsid sleep " +
                              Mark(3) + " & while [ ! -e " + release + " ]; do sleep 0.02; done; exit 3"});
    ASSERT_TRUE(WaitFor(
        [&] {
            return WithArgument(Mark(1)).size() == 1 && WithArgument(Mark(2)).size() == 1 &&
                   WithArgument(Mark(3)).size() == 1;
        },
        15s));
    WriteFileBytes(dir / "release", "");
    ASSERT_TRUE(WaitFor([&] { return lines.Has("exited with status 3"); }, 15s));
    for (int n : {1, 2, 3}) EXPECT_TRUE(WithArgument(Mark(n)).empty()) << "left running: sleep " << Mark(n);

    // A new session, and the hook itself still running when its time is up.
    HookRunner timed({"/bin/sh", "-c", "eval \"$TESSIV_LINE\""}, lines.Sink(),
                     HookLimits{.killAfter = 3s, .reportEvery = 0s});
    timed.Run(Notice{.line = "setsid sleep " + Mark(4) + " & sleep " + Mark(5)});
    ASSERT_TRUE(
        WaitFor([&] { return WithArgument(Mark(4)).size() == 1 && WithArgument(Mark(5)).size() == 1; }, 15s));
    ASSERT_TRUE(WaitFor([&] { return lines.Has("was killed after 3 s"); }, 15s));
    for (int n : {4, 5}) EXPECT_TRUE(WithArgument(Mark(n)).empty()) << "left running: sleep " << Mark(n);
}

TEST(HookProcesses, AHookInheritsOnlyDevNullAsItsStandardStreams) {
    // A webhook connection that stays open: the receiver never answers.
    Receiver receiver([](int) { return -1; });
    WebhookSender sender({receiver.url(), ""}, {});
    sender.Send(Notice{.category = "clear", .time = "t"});
    ASSERT_TRUE(WaitFor([&] { return receiver.Requests() == 1; }, 15s));

    HookRunner runner({"sleep", Mark(6)}, {}, HookLimits{.killAfter = 30s});
    runner.Run({});
    std::vector<pid_t> hooks;
    ASSERT_TRUE(WaitFor([&] { return (hooks = WithArgument(Mark(6))).size() == 1; }, 15s));
    // sleep keeps nothing open of its own once it sleeps; whatever else it holds came from the monitor.
    const std::map<int, std::string> expected{{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
    std::map<int, std::string> open;
    WaitFor(
        [&] {
            open.clear();
            std::error_code error;
            for (const auto& entry :
                 fs::directory_iterator("/proc/" + std::to_string(hooks[0]) + "/fd", error))
                open[std::stoi(entry.path().filename().string())] =
                    fs::read_symlink(entry.path(), error).string();
            return open == expected;
        },
        15s);
    for (const auto& [fd, target] : open) EXPECT_EQ(target, "/dev/null") << "descriptor " << fd;
    EXPECT_EQ(open.size(), 3u);
}

}  // namespace
