// The helpers other tests stand on: a child gets exactly the environment, folder and outputs asked for, its
// end is told as it happened, and a rerun sees the private mount the test asked for.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/private_mounts.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, GetsTheEnvironmentFolderAndOutputsAskedFor) {
    TempDir dir;
    ::setenv("TESSIV_CHILD_KEPT", "kept", 1);
    ::setenv("TESSIV_CHILD_GONE", "gone", 1);
    ::setenv("TESSIV_CHILD_OVER", "old", 1);
    ChildProcess child({"sh", "-c",
                        "echo \"$TESSIV_CHILD_KEPT ${TESSIV_CHILD_GONE-unset} $TESSIV_CHILD_OVER $(pwd)\"; "
                        "echo problem >&2; exit 3"},
                       {.unset = {"TESSIV_CHILD_GONE"},
                        .set = {"TESSIV_CHILD_OVER=new"},
                        .workingDirectory = dir.path(),
                        .stdoutFile = dir / "out",
                        .stderrFile = dir / "err"});
    ASSERT_TRUE(child.WaitEnd(10s));
    EXPECT_EQ(child.ExitCode(), 3) << child.Describe();
    EXPECT_EQ(child.TermSignal(), 0);
    EXPECT_EQ(ReadFileBytes(dir / "out"), "kept unset new " + dir.path().string() + "\n");
    EXPECT_EQ(ReadFileBytes(dir / "err"), "problem\n");

    ChildProcess bare({"/bin/sh", "-c", "echo \"${TESSIV_CHILD_KEPT-none}\" 1>&2; echo both"},
                      {.inheritEnvironment = false, .stdoutFile = dir / "both", .stderrFile = dir / "both"});
    ASSERT_TRUE(bare.WaitEnd(10s));
    EXPECT_EQ(ReadFileBytes(dir / "both"), "none\nboth\n");
}

TEST(ChildProcess, AWaitIsBoundedAndASignalIsTold) {
    ChildProcess child({"sleep", "30"});
    ASSERT_TRUE(child.Started());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(child.WaitEnd(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(child.ExitCode(), -1);
    child.Signal(SIGTERM);
    ASSERT_TRUE(child.WaitEnd(10s));
    EXPECT_EQ(child.TermSignal(), SIGTERM);
    EXPECT_EQ(child.Describe(), "killed by TERM");
}

TEST(ChildProcess, GoingAwayEndsTheChild) {
    pid_t pid = -1;
    {
        ChildProcess child({"sleep", "30"});
        pid = child.Pid();
        ASSERT_EQ(::kill(pid, 0), 0);
    }
    EXPECT_NE(::kill(pid, 0), 0);  // killed and reaped: not even a zombie is left
}

TEST(ChildProcess, ReadsStandardOutputLineByLine) {
    ChildProcess child({"sh", "-c", "echo one; echo two; exec sleep 30"}, {.readStdout = true});
    EXPECT_EQ(child.ReadLine(10s), "one");
    EXPECT_EQ(child.ReadLine(10s), "two");
    EXPECT_EQ(child.ReadLine(100ms), "");
}

// Whether `path` is a mount point: another file system than its folder's.
bool MountedAt(const std::filesystem::path& path) {
    struct stat self {
    }, parent{};
    return ::stat(path.c_str(), &self) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

// The rerun sees a file system mounted at the path; this process does not.
TEST(PrivateMounts, TheRerunSeesTheMountAndTheTestDoesNot) {
    if (const char* at = std::getenv("TESSIV_PRIVATE_MOUNT_AT"); at != nullptr) {
        EXPECT_TRUE(MountedAt(at)) << at;
        return;
    }
    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    TempDir dir;
    const auto at = dir / "mounted";
    std::filesystem::create_directory(at);
    EXPECT_EQ(
        RerunInPrivateMounts("TESSIV_PRIVATE_MOUNT_AT", at.string(), PrivateMount::Tmpfs(at, "size=64k")), 0);
    EXPECT_FALSE(MountedAt(at));
}

}  // namespace
