#pragma once

#include <filesystem>
#include <string>
#include <utility>

// What to mount in the private namespace before the test runs again.
struct PrivateMount {
    enum class Kind { None, Tmpfs, Bind } kind = Kind::None;
    std::filesystem::path at;
    std::string what;  // Tmpfs: its -o options, empty for the defaults; Bind: the file or folder put at `at`

    static PrivateMount Tmpfs(std::filesystem::path at, std::string options = {}) {
        return {Kind::Tmpfs, std::move(at), std::move(options)};
    }
    static PrivateMount Bind(std::filesystem::path source, std::filesystem::path at) {
        return {Kind::Bind, std::move(at), source.string()};
    }
};

// Runs the current test again, alone, in a child under `unshare -m` with `mount` made and `variable`=`value`
// set, so a test can change what the whole system sees (root only). Gives the child's exit code, -1 when it
// was killed or still ran after two minutes.
int RerunInPrivateMounts(const std::string& variable, const std::string& value,
                         const PrivateMount& mount = {});
