#include "servers/setting_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

bool WriteAll(int fd, const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// The process's umask, read without changing it: another thread may be creating a file meanwhile.
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("Umask:")) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    return 022;
}

SaveResult Failed(const char* step) {
    return SaveResult{errno != 0 ? errno : EIO, step};
}

// Writes the whole content to an open file and flushes it to the disk.
SaveResult WriteAndSync(int fd, const std::string& content) {
    if (!WriteAll(fd, content)) return Failed("writing the file");
    if (::fsync(fd) != 0) return Failed("flushing the file to disk");
    return {};
}

// The plain way, for a folder that takes no new file: truncate, write, flush.
SaveResult RewriteInPlace(const std::filesystem::path& target, const std::string& content, mode_t mode) {
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return Failed("creating the file");
    struct stat info {};
    SaveResult result;
    if (::fstat(fd, &info) != 0)
        result = Failed("examining the file");
    else if (!S_ISREG(info.st_mode))
        result = SaveResult{EINVAL, "checking that it is a regular file"};
    else if (::ftruncate(fd, 0) != 0)
        result = Failed("emptying the file");
    else
        result = WriteAndSync(fd, content);
    if (::close(fd) != 0 && result) result = Failed("closing the file");
    return result;
}

// Only a regular file is read: a FIFO or a device of that name would block the window's thread, and a
// folder has no lines.
bool ReadRegularFile(const std::filesystem::path& file, std::string& content) {
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char buffer[65536];
    while (ok) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::vector<std::string> LoadServerEntries(const std::filesystem::path& file) {
    std::vector<std::string> entries;
    std::string content;
    if (!ReadRegularFile(file, content)) return entries;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::size_t textEnd = end;
        if (textEnd > start && end < content.size() && content[textEnd - 1] == '\r') --textEnd;
        entries.push_back(content.substr(start, textEnd - start));
        start = end + 1;
    }
    return entries;
}

std::string SaveResult::Reason() const {
    return std::string(std::strerror(error)) + " (" + step + ")";
}

SaveResult SaveServerEntries(const std::filesystem::path& file, const std::vector<std::string>& entries) {
    std::string content;
    for (const std::string& line : entries) content.append(line).append("\r\n");

    // A link is saved through to what it points at, so the link itself stays.
    std::error_code error;
    std::filesystem::path target = file;
    if (std::filesystem::is_symlink(file, error)) {
        target = std::filesystem::weakly_canonical(file, error);
        if (error) return SaveResult{error.value(), "following the link"};
    }

    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) return SaveResult{EISDIR, "checking that it is a regular file"};
    // Replacing a file its user may not write would go round its permissions.
    if (exists && ::access(target.c_str(), W_OK) != 0) return Failed("checking write permission");
    const mode_t mode = exists ? (info.st_mode & 07777) : (0666 & ~CurrentUmask());

    std::string tempName = target.has_parent_path() ? target.parent_path().string() : std::string(".");
    tempName.append("/.").append(target.filename().string()).append(".XXXXXX");
    int fd = ::mkstemp(tempName.data());
    if (fd < 0) return RewriteInPlace(target, content, mode);

    SaveResult result;
    if (::fchmod(fd, mode) != 0)
        result = Failed("setting the file mode");
    else
        result = WriteAndSync(fd, content);
    if (::close(fd) != 0 && result) result = Failed("closing the file");
    if (result && ::rename(tempName.c_str(), target.c_str()) != 0) result = Failed("replacing the file");
    if (!result) ::unlink(tempName.c_str());
    return result;
}
