#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

#include "fileio/unique_fd.h"

// A file opened without blocking (no wait for a FIFO's writer, no device) and kept only when it is a regular
// file: the files of the monitor are never anything else, and anything else could stall the thread opening
// it.
struct RegularFile {
    UniqueFd fd;          // open only for a regular file
    struct stat info {};  // valid when the file could be examined
    int error = 0;        // errno of the open or the fstat; 0 otherwise
    bool notRegular = false;
    explicit operator bool() const { return fd.valid(); }
};

// `flags` as for open(2); O_NONBLOCK and O_CLOEXEC are added.
RegularFile OpenRegularFile(const std::filesystem::path& file, int flags, mode_t mode = 0);

// "a folder", "a FIFO", "a character device", "a block device", "a socket", "a symbolic link", or "not a
// regular file" for anything else.
const char* FileKind(mode_t mode);

// Every byte, whatever write() takes at a time; false with errno set on failure.
bool WriteAll(int fd, std::string_view bytes);
bool WriteAllAt(int fd, std::string_view bytes, off_t offset);

// The whole file from its start, wherever the descriptor stands; false with errno set on failure, EFBIG when
// it holds more than `limit` bytes (it may grow while it is read).
bool ReadAll(int fd, std::string& content, std::size_t limit = std::numeric_limits<std::size_t>::max());
