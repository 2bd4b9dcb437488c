#include "core/alarm_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A FIFO named log.txt, with or without a reader, must never block the alarm: the record is skipped.
TEST(AlarmLog, AFifoIsSkippedWithoutBlocking) {
    TempDir dir;
    auto file = dir / "log.txt";
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    EXPECT_FALSE(AppendAlarmRecord(file, "line", true));  // no reader: a blocking open waits for ever
    int reader = ::open(file.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(AppendAlarmRecord(file, "line", true));
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "nothing was written into the FIFO";
    ::close(reader);
}

}  // namespace
