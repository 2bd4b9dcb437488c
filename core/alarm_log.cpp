#include "core/alarm_log.h"

#include <fcntl.h>

#include <string>

#include "fileio/regular_file.h"

bool AppendAlarmRecord(const std::filesystem::path& file, std::string_view line, bool soundFlag) {
    std::string record(line);
    record += "\r\n";
    if (soundFlag) record += "alarm sound ...\r\n";

    // Never blocks: a FIFO or a device named log.txt is left alone and the record skipped.
    RegularFile log = OpenRegularFile(file, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!log) return false;
    const bool written = WriteAll(log.fd.get(), record);
    return log.fd.Close() && written;
}
