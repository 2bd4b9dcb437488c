#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

int RerunInPrivateMounts(const std::string& variable, const std::string& value, const PrivateMount& mount) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string script;
    switch (mount.kind) {
        case PrivateMount::Kind::None:
            break;
        case PrivateMount::Kind::Tmpfs:
            script =
                "if [ -n \"$1\" ]; then mount -t tmpfs -o \"$1\" none \"$2\"; "
                "else mount -t tmpfs none \"$2\"; fi && ";
            break;
        case PrivateMount::Kind::Bind:
            script = "mount --bind \"$1\" \"$2\" && ";
            break;
    }
    script += "exec \"$3\" \"$4\"";
    ChildProcess child(
        {"unshare", "-m", "--", "sh", "-c", script, "sh", mount.what, mount.at.string(), self, filter},
        {.set = {variable + "=" + value}});
    if (!child.WaitEnd(std::chrono::minutes(2))) return -1;
    return child.ExitCode();
}
