#include "servers/file_locations.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

#include "tests/support/temp_dir.h"

namespace {

using Environment = std::map<std::string, std::string>;

EnvironmentReader ReaderOf(const Environment& environment) {
    return [&environment](const char* name) -> const char* {
        auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    };
}

unsigned ModeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(FileLocations, XdgVariablesWinOnlyWhenAbsolute) {
    Environment environment{{"HOME", "/home/op"}};
    EXPECT_EQ(UserConfigDir(ReaderOf(environment)), "/home/op/.config/tessiv");
    EXPECT_EQ(UserStateDir(ReaderOf(environment)), "/home/op/.local/state/tessiv");

    environment["XDG_CONFIG_HOME"] = "/etc-op";
    environment["XDG_STATE_HOME"] = "/var/op";
    EXPECT_EQ(UserConfigDir(ReaderOf(environment)), "/etc-op/tessiv");
    EXPECT_EQ(UserStateDir(ReaderOf(environment)), "/var/op/tessiv");

    environment["XDG_CONFIG_HOME"] = "";
    environment["XDG_STATE_HOME"] = "state";
    EXPECT_EQ(UserConfigDir(ReaderOf(environment)), "/home/op/.config/tessiv");
    EXPECT_EQ(UserStateDir(ReaderOf(environment)), "/home/op/.local/state/tessiv");

    environment["HOME"] = "op";
    EXPECT_EQ(UserConfigDir(ReaderOf(environment)), "");
    UserFolders folders = PrepareUserFolders(ReaderOf(environment));
    EXPECT_TRUE(folders.config.empty() && folders.state.empty());
    EXPECT_NE(folders.error.find("HOME"), std::string::npos);
}

TEST(FileLocations, PreparingCreatesPrivateFoldersAndLeavesExistingOnesAlone) {
    TempDir dir;
    std::filesystem::create_directory(dir / "home");
    ::chmod((dir / "home").c_str(), 0755);
    Environment environment{{"HOME", (dir / "home").string()}};
    const mode_t oldMask = ::umask(022);
    UserFolders folders = PrepareUserFolders(ReaderOf(environment));
    ::umask(oldMask);

    ASSERT_EQ(folders.error, "");
    EXPECT_EQ(folders.config, dir / "home/.config/tessiv");
    for (const char* created :
         {"home/.config", "home/.config/tessiv", "home/.local", "home/.local/state/tessiv"})
        EXPECT_EQ(ModeOf(dir / created), 0700u) << created;
    EXPECT_EQ(ModeOf(dir / "home"), 0755u);
    EXPECT_EQ(PrepareUserFolders(ReaderOf(environment)).error, "");  // a second start finds them in place

    // A file where a folder belongs is reported, not mistaken for the folder.
    WriteFileBytes(dir / "blocked", "");
    environment["XDG_STATE_HOME"] = (dir / "blocked").string();
    folders = PrepareUserFolders(ReaderOf(environment));
    EXPECT_NE(folders.error.find("blocked"), std::string::npos) << folders.error;
    EXPECT_TRUE(folders.state.empty());
}

}  // namespace
