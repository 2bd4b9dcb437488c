#include "servers/setting_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>

#include "servers/maintenance.h"
#include "servers/setting_store.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temp_dir.h"

namespace {

using Entries = std::vector<std::string>;

class SettingFile : public testing::Test {
protected:
    TempDir dir;
    std::filesystem::path file = dir / "Setting.ini";

    Entries LoadFrom(const std::string& bytes) {
        WriteFileBytes(file, bytes);
        return LoadServerEntries(file);
    }
};

TEST_F(SettingFile, ReadsCrLfAndLfLinesAlike) {
    Entries expected{"A,u@1", "", "B,v@0"};
    EXPECT_EQ(LoadFrom("A,u@1\r\n\r\nB,v@0\r\n"), expected);
    EXPECT_EQ(LoadFrom("A,u@1\n\nB,v@0\n"), expected);
    EXPECT_EQ(LoadFrom("A,u@1\r\n\nB,v@0"), expected);  // mixed, and no line end at the end
}

TEST_F(SettingFile, FinalLineEndAddsNoEntryButEmptyLinesCount) {
    EXPECT_EQ(LoadFrom(""), Entries{});
    EXPECT_EQ(LoadFrom("\r\n"), Entries{""});
    EXPECT_EQ(LoadFrom("A\r\n\r\n"), (Entries{"A", ""}));
}

TEST_F(SettingFile, KeepsBytesSpacesAndLoneCarriageReturns) {
    std::string gbkName = "\xCD\xF8\xD5\xBE";
    EXPECT_EQ(LoadFrom("  " + gbkName + " ,u@1  \r\nx\ry\r\n"),
              (Entries{"  " + gbkName + " ,u@1  ", "x\ry"}));
}

TEST_F(SettingFile, LongLinesAreLoadedAndSavedWhole) {
    std::string longLine(300, 'n');
    std::string exact(255, 'e');
    Entries entries = LoadFrom("A\r\n" + longLine + "\r\n" + exact + "\r\nB\r\n");
    ASSERT_EQ(entries, (Entries{"A", longLine, exact, "B"}));
    ASSERT_TRUE(SaveServerEntries(file, entries));
    EXPECT_EQ(ReadFileBytes(file), "A\r\n" + longLine + "\r\n" + exact + "\r\nB\r\n");
}

TEST_F(SettingFile, SaveWritesCrLfAfterEveryEntryAndNothingForAnEmptyList) {
    ASSERT_TRUE(SaveServerEntries(file, {"A,u@1", "", "B,v@0"}));
    EXPECT_EQ(ReadFileBytes(file), "A,u@1\r\n\r\nB,v@0\r\n");
    EXPECT_EQ(LoadServerEntries(file), (Entries{"A,u@1", "", "B,v@0"}));
    ASSERT_TRUE(SaveServerEntries(file, {}));
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(ReadFileBytes(file), "");
}

TEST_F(SettingFile, MissingFileLoadsNothing) {
    EXPECT_EQ(LoadServerEntries(dir / "absent.ini"), Entries{});
}

TEST_F(SettingFile, FailedSaveLeavesTheOldFileAndNoTemporaryBehind) {
    WriteFileBytes(file, "old\r\n");
    // A folder that cannot take the temporary file: the target's folder does not exist.
    EXPECT_FALSE(SaveServerEntries(dir / "missing" / "Setting.ini", {"new"}));
    // A target that is a directory cannot be replaced by a file.
    std::filesystem::create_directory(dir / "taken.ini");
    EXPECT_FALSE(SaveServerEntries(dir / "taken.ini", {"new"}));
    EXPECT_EQ(ReadFileBytes(file), "old\r\n");
    int leftovers = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir.path()))
        if (item.path().filename().string().starts_with(".")) ++leftovers;
    EXPECT_EQ(leftovers, 0);
}

TEST_F(SettingFile, SaveKeepsTheFilePermissions) {
    WriteFileBytes(file, "old\r\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    ASSERT_TRUE(SaveServerEntries(file, {"new"}));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(SettingFile, ALinkIsSavedThroughToItsTargetAndStaysALink) {
    std::filesystem::create_directory(dir / "real");
    const auto target = dir / "real" / "hosts.ini";
    WriteFileBytes(target, "old\r\n");
    std::filesystem::create_symlink("real/hosts.ini", file);
    ASSERT_TRUE(SaveServerEntries(file, {"new"}));
    EXPECT_TRUE(std::filesystem::is_symlink(file));
    EXPECT_EQ(ReadFileBytes(target), "new\r\n");
}

TEST_F(SettingFile, ADanglingLinkIsSavedThroughCreatingItsTarget) {
    std::filesystem::create_directory(dir / "real");
    std::filesystem::create_symlink("real/hosts.ini", file);  // relative to the link's folder
    ASSERT_TRUE(SaveServerEntries(file, {"new"}));
    EXPECT_TRUE(std::filesystem::is_symlink(file));
    EXPECT_EQ(ReadFileBytes(dir / "real" / "hosts.ini"), "new\r\n");
    EXPECT_EQ(LoadServerEntries(file), Entries{"new"});
}

// The folder holding the file takes no new file (no free inode) and the disk is full: the in-place rewrite
// must not cut the old file short. The test runs itself again in a private mount namespace with a small tmpfs
// of its own (root only, as in CI).
TEST_F(SettingFile, AFullDiskRefusesTheInPlaceSaveAndKeepsTheOldFileWhole) {
    const char* smallDisk = std::getenv("TESSIV_SMALL_TMPFS");
    if (smallDisk == nullptr) {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
        const auto mountPoint = dir / "small";
        std::filesystem::create_directory(mountPoint);
        EXPECT_EQ(RerunInPrivateMounts("TESSIV_SMALL_TMPFS", mountPoint.string(),
                                       PrivateMount::Tmpfs(mountPoint, "size=64k,nr_inodes=8")),
                  0);
        return;
    }

    const std::filesystem::path disk = smallDisk;
    std::string old;
    for (int i = 0; i < 20; ++i)
        old += "old-" + std::to_string(i) + ",http://10.0.0." + std::to_string(i) + "/s@1\r\n";
    WriteFileBytes(disk / "hosts.ini", old);
    std::filesystem::create_symlink(disk / "hosts.ini", file);

    // Every block, then every inode, taken.
    {
        int filler = ::open((disk / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(filler, 0);
        const std::string block(4096, 'x');
        while (::write(filler, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        while (::write(filler, "x", 1) > 0) {
        }
        ::close(filler);
    }
    for (int i = 0;; ++i) {
        int fd =
            ::open((disk / ("inode-" + std::to_string(i))).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            ASSERT_EQ(errno, ENOSPC);
            break;
        }
        ::close(fd);
    }

    Entries entries;
    for (int i = 0; i < 600; ++i) entries.push_back("new-" + std::to_string(i) + ",http://192.0.2.1:89/s@1");
    const std::optional<FileStamp> before = StampOf(file);
    SaveResult saved = SaveServerEntries(file, entries);
    EXPECT_FALSE(saved);
    EXPECT_EQ(saved.error, ENOSPC) << saved.Reason();
    EXPECT_EQ(ReadFileBytes(disk / "hosts.ini"), old);
    // Refused before a byte was written: the space is reserved first.
    EXPECT_EQ(StampOf(file), before);
    EXPECT_TRUE(std::filesystem::is_symlink(file));
}

// Runs `body` in a child process as an unprivileged user (root passes every permission check); the
// child's exit status is the body's answer.
bool AsNobody(const std::function<bool()>& body) {
    pid_t child = ::fork();
    if (child == 0) {
        bool ok = (::getuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0)) && body();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST_F(SettingFile, PermissionsDecideBetweenInPlaceRewriteAndLeavingTheFileAlone) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const auto folder = dir / "locked";
    std::filesystem::create_directory(folder);
    const auto writable = folder / "Setting.ini";
    const auto readOnly = folder / "other.ini";
    WriteFileBytes(writable, "old,http://192.0.2.1:89/a-longer-list@1\r\nold-2\r\n");
    WriteFileBytes(readOnly, "kept\r\n");
    ASSERT_EQ(::chown(writable.c_str(), 65534, 65534), 0);
    ::chmod(writable.c_str(), 0640);
    ::chmod(readOnly.c_str(), 0644);
    ::chmod(folder.c_str(), 0755);  // root's folder: nobody may create the temporary file in it

    // The folder takes no temporary, but the file may be written: rewritten in place, mode and owner kept,
    // and no tail of the longer old list left behind.
    EXPECT_TRUE(AsNobody([&] { return bool(SaveServerEntries(writable, {"new", "list"})); }));
    EXPECT_EQ(ReadFileBytes(writable), "new\r\nlist\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(writable.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(info.st_uid, 65534u);

    // A file its user may not write is left alone, and the failure says why.
    EXPECT_TRUE(AsNobody([&] {
        SaveResult saved = SaveServerEntries(readOnly, {"new"});
        return !saved && saved.error == EACCES;
    }));
    EXPECT_EQ(ReadFileBytes(readOnly), "kept\r\n");

    // Nor is it replaced where the folder would take the new list beside it.
    const auto open = dir / "open";
    std::filesystem::create_directory(open);
    ::chmod(open.c_str(), 0777);
    const auto guarded = open / "Setting.ini";
    WriteFileBytes(guarded, "kept\r\n");
    ::chmod(guarded.c_str(), 0644);
    EXPECT_TRUE(AsNobody([&] {
        SaveResult saved = SaveServerEntries(guarded, {"new"});
        return !saved && saved.error == EACCES;
    }));
    EXPECT_EQ(ReadFileBytes(guarded), "kept\r\n");
}

// The in-place save's write fails after its space was reserved (a file-size limit): the old list comes back.
TEST_F(SettingFile, AnInPlaceWriteThatFailsHalfWayPutsTheOldListBack) {
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const auto folder = dir / "locked";
    std::filesystem::create_directory(folder);
    const auto target = folder / "Setting.ini";
    const std::string old = "old,http://192.0.2.1:89/s@1\r\n";
    WriteFileBytes(target, old);
    if (::getuid() == 0) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    }
    ::chmod(target.c_str(), 0644);
    ::chmod(folder.c_str(), 0555);  // no temporary beside it: the list is rewritten in place

    EXPECT_TRUE(AsNobody([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
        SaveResult saved = SaveServerEntries(target, Entries(400, "new,http://192.0.2.2:89/s@1"));
        return !saved && saved.error == EFBIG;
    }));
    EXPECT_EQ(ReadFileBytes(target), old);
}

// Another program's edit of the same size, within the same second, differs from what was read only in the
// modification time's nanoseconds: it is still taken.
TEST_F(SettingFile, AnEditOfTheSameSizeInTheSameSecondIsNoticed) {
    WriteFileBytes(file, "A,http://192.0.2.1/s@1\r\n");
    const auto stampAt = [&](long nanoseconds) {
        const timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, nanoseconds}};
        return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
    };
    ASSERT_TRUE(stampAt(100));
    SettingStore store(file);
    store.Load();
    {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "B", 1, 0), 1);
        ::close(fd);
    }
    ASSERT_TRUE(stampAt(200));
    const std::optional<DiskVersion> changed = store.ChangedOnDisk();
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->entries, Entries{"B,http://192.0.2.1/s@1"});
}

// maintenance.ini keys a host by "name,url"; a URL's own "=" must not cut the key.
TEST(MaintenanceFile, AnEntryWhoseUrlHoldsAnEqualsSignSurvivesARestart) {
    TempDir dir;
    const std::string entry = "A,http://192.0.2.1/s?site=3&x=1@0";
    const std::time_t end = 1'800'000'000;
    ASSERT_TRUE(Maintenance(dir / "maintenance.ini").Start(entry, end));
    Maintenance restarted(dir / "maintenance.ini");
    restarted.Load();
    EXPECT_EQ(restarted.EndOf("A,http://192.0.2.1/s?site=3&x=1@1"), end);
}

TEST_F(SettingFile, AFifoLoadsNothingWithoutBlocking) {
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    EXPECT_EQ(LoadServerEntries(file), Entries{});  // a blocking open would never return: no writer
    EXPECT_FALSE(SaveServerEntries(file, {"new"}));
}

}  // namespace
