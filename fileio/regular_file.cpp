#include "fileio/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

RegularFile OpenRegularFile(const std::filesystem::path& file, int flags, mode_t mode) {
    RegularFile opened;
    UniqueFd fd(::open(file.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd.valid()) {
        opened.error = errno;
        return opened;
    }
    if (::fstat(fd.get(), &opened.info) != 0) {
        opened.error = errno;
        return opened;
    }
    if (!S_ISREG(opened.info.st_mode)) {
        opened.notRegular = true;
        return opened;
    }
    opened.fd = std::move(fd);
    return opened;
}

const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return true;
}

bool ReadAll(int fd, std::string& content, std::size_t limit) {
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        if (static_cast<std::size_t>(got) > limit - content.size()) {
            errno = EFBIG;
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
}
