#include "locations/file_locations.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <system_error>

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
    EXPECT_NE(folders.configError.find("HOME"), std::string::npos);
    EXPECT_NE(folders.stateError.find("HOME"), std::string::npos);
}

TEST(FileLocations, PreparingCreatesPrivateFoldersAndLeavesExistingOnesAlone) {
    TempDir dir;
    std::filesystem::create_directory(dir / "home");
    ::chmod((dir / "home").c_str(), 0755);
    Environment environment{{"HOME", (dir / "home").string()}};
    const mode_t oldMask = ::umask(022);
    UserFolders folders = PrepareUserFolders(ReaderOf(environment));
    ::umask(oldMask);

    ASSERT_EQ(folders.configError + folders.stateError, "");
    EXPECT_EQ(folders.config, dir / "home/.config/tessiv");
    for (const char* created :
         {"home/.config", "home/.config/tessiv", "home/.local", "home/.local/state/tessiv"})
        EXPECT_EQ(ModeOf(dir / created), 0700u) << created;
    EXPECT_EQ(ModeOf(dir / "home"), 0755u);
    folders = PrepareUserFolders(ReaderOf(environment));  // a second start finds them in place
    EXPECT_EQ(folders.configError + folders.stateError, "");

    // A file where a folder belongs is reported, not mistaken for the folder.
    WriteFileBytes(dir / "blocked", "");
    environment["XDG_STATE_HOME"] = (dir / "blocked").string();
    folders = PrepareUserFolders(ReaderOf(environment));
    EXPECT_NE(folders.stateError.find("blocked"), std::string::npos) << folders.stateError;
    EXPECT_TRUE(folders.state.empty());
}

// A link loop where a base folder belongs costs that folder only, with the reason, and never the start.
TEST(FileLocations, LinkLoopBreaksOnlyItsOwnFolder) {
    TempDir dir;
    std::filesystem::create_directory(dir / "home");
    std::filesystem::create_directory_symlink(dir / "b", dir / "a");
    std::filesystem::create_directory_symlink(dir / "a", dir / "b");
    const std::string loopMessage = std::make_error_code(std::errc::too_many_symbolic_link_levels).message();
    Environment environment{{"HOME", (dir / "home").string()}, {"XDG_CONFIG_HOME", (dir / "a").string()}};

    auto expectConfigBrokenStateUsable = [&](const std::filesystem::path& loop) {
        UserFolders folders;
        ASSERT_NO_THROW(folders = PrepareUserFolders(ReaderOf(environment)));
        EXPECT_TRUE(folders.config.empty());
        EXPECT_NE(folders.configError.find((loop / "tessiv").string()), std::string::npos)
            << folders.configError;
        EXPECT_NE(folders.configError.find(loopMessage), std::string::npos) << folders.configError;
        ASSERT_EQ(folders.stateError, "");
        EXPECT_EQ(folders.state, dir / "home/.local/state/tessiv");
        WriteFileBytes(folders.state / "log.txt", "x");
        EXPECT_EQ(ReadFileBytes(dir / "home/.local/state/tessiv/log.txt"), "x");
    };
    {
        SCOPED_TRACE("XDG_CONFIG_HOME is a link loop");
        expectConfigBrokenStateUsable(dir / "a");
    }
    {
        SCOPED_TRACE("~/.config is a link loop");
        environment.erase("XDG_CONFIG_HOME");
        std::filesystem::create_directory_symlink(dir / "home/.config-loop", dir / "home/.config");
        std::filesystem::create_directory_symlink(dir / "home/.config", dir / "home/.config-loop");
        expectConfigBrokenStateUsable(dir / "home/.config");
    }
    {
        SCOPED_TRACE("the state folder is a link loop, the config folder is fine");
        environment["XDG_CONFIG_HOME"] = (dir / "config").string();
        environment["XDG_STATE_HOME"] = (dir / "b").string();
        UserFolders folders;
        ASSERT_NO_THROW(folders = PrepareUserFolders(ReaderOf(environment)));
        EXPECT_TRUE(folders.state.empty());
        EXPECT_NE(folders.stateError.find(loopMessage), std::string::npos) << folders.stateError;
        EXPECT_EQ(folders.configError, "");
        EXPECT_TRUE(std::filesystem::is_directory(dir / "config/tessiv"));
        EXPECT_EQ(folders.config, dir / "config/tessiv");
    }
}

}  // namespace
