#include "monitor/alarm_log.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

TEST(AlarmLog, RecordsCarryTheSoundLineOnlyForAlarmsEntitledToSound) {
    TempDir dir;
    auto file = dir / "log.txt";
    ASSERT_TRUE(AppendAlarmRecord(file, "003 <t> ------ a ------", true));
    ASSERT_TRUE(AppendAlarmRecord(file, "004 <t> ------ b ------", false));
    EXPECT_EQ(ReadFileBytes(file),
              "003 <t> ------ a ------\r\nalarm sound ...\r\n004 <t> ------ b ------\r\n");
}

TEST(AlarmLog, AppendsToAnExistingFileWithoutTruncatingIt) {
    TempDir dir;
    auto file = dir / "log.txt";
    WriteFileBytes(file, "history\r\n");
    ASSERT_TRUE(AppendAlarmRecord(file, "line", false));
    EXPECT_EQ(ReadFileBytes(file), "history\r\nline\r\n");
}

TEST(AlarmLog, UnwritableLogReportsFailureAndKeepsWhatIsThere) {
    TempDir dir;
    std::filesystem::create_directory(dir / "log.txt");  // cannot be opened as a file, even by root
    EXPECT_FALSE(AppendAlarmRecord(dir / "log.txt", "line", true));
    EXPECT_FALSE(AppendAlarmRecord(dir / "missing" / "log.txt", "line", true));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "log.txt"));
}

}  // namespace
