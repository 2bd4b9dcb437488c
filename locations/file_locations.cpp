#include "locations/file_locations.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace {

constexpr const char* kAppFolder = "tessiv";

std::filesystem::path AbsoluteOrEmpty(const char* value) {
    if (value == nullptr || *value == '\0') return {};
    std::filesystem::path path(value);
    return path.is_absolute() ? path : std::filesystem::path();
}

std::filesystem::path BaseDir(const EnvironmentReader& environment, const char* variable,
                              const std::filesystem::path& underHome) {
    std::filesystem::path base = AbsoluteOrEmpty(environment(variable));
    if (base.empty()) {
        std::filesystem::path home = AbsoluteOrEmpty(environment("HOME"));
        if (home.empty()) return {};
        base = home / underHome;
    }
    return base / kAppFolder;
}

}  // namespace

std::filesystem::path UserConfigDir(const EnvironmentReader& environment) {
    return BaseDir(environment, "XDG_CONFIG_HOME", ".config");
}

std::filesystem::path UserStateDir(const EnvironmentReader& environment) {
    return BaseDir(environment, "XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

bool CreatePrivateDir(const std::filesystem::path& dir, std::error_code& error) {
    error.clear();
    std::filesystem::path partial;
    for (const std::filesystem::path& part : dir.lexically_normal()) {
        partial /= part;
        if (part.empty() || part == partial.root_path()) continue;
        // mkdir first and look only on EEXIST, so a folder made by someone else meanwhile is no failure.
        if (::mkdir(partial.c_str(), 0700) == 0) continue;
        const int failure = errno;
        if (failure != EEXIST) {
            error = std::error_code(failure, std::generic_category());
            return false;
        }
        // What is there may be a link loop or out of reach: its own error says so better than "not a folder".
        if (!std::filesystem::is_directory(partial, error)) {
            if (!error) error = std::make_error_code(std::errc::not_a_directory);
            return false;
        }
    }
    return true;
}

UserFolders PrepareUserFolders(const EnvironmentReader& environment) {
    UserFolders folders{UserConfigDir(environment), UserStateDir(environment), {}, {}};
    for (auto [dir, reason] :
         {std::pair{&folders.config, &folders.configError}, std::pair{&folders.state, &folders.stateError}}) {
        std::error_code error;
        if (dir->empty())
            *reason = "HOME is not set to an absolute path";
        else if (!CreatePrivateDir(*dir, error))
            *reason = "cannot create " + dir->string() + ": " + error.message();
        if (!reason->empty()) dir->clear();
    }
    return folders;
}
