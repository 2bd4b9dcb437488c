#include "monitor/alarm_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

bool AppendAlarmRecord(const std::filesystem::path& file, std::string_view line, bool soundFlag) {
    std::string record(line);
    record += "\r\n";
    if (soundFlag) record += "alarm sound ...\r\n";

    // Never blocks: a FIFO or a device named log.txt is left alone and the record skipped.
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    const char* data = record.data();
    std::size_t left = record.size();
    bool ok = true;
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            ok = false;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return ::close(fd) == 0 && ok;
}
