#include "crash/signal_safe.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Everything here runs inside the crash handler and must stay async-signal-safe.

namespace crashdump {

pid_t CurrentThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

size_t StringLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

size_t ReadFile(const char* path, char* out, size_t capacity) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t length = 0;
    while (length < capacity) {
        const ssize_t got = read(fd, out + length, capacity - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<size_t>(got);
    }
    close(fd);
    return length;
}

}  // namespace crashdump
