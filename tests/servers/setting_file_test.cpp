#include "servers/setting_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

}  // namespace
