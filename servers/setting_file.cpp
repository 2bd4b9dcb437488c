#include "servers/setting_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "fileio/regular_file.h"

namespace {

namespace fs = std::filesystem;

FileStamp StampFrom(const struct stat& info) {
    return FileStamp{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                     static_cast<std::int64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtim.tv_sec),
                     static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
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

// A FIFO or a device cannot hold the list; the system has no error text that says so.
SaveResult NotRegular(mode_t mode) {
    constexpr const char* step = "checking the file type";
    if (S_ISDIR(mode)) return SaveResult{EISDIR, step};
    const char* problem = S_ISFIFO(mode)   ? "Not a regular file but a FIFO"
                          : S_ISCHR(mode)  ? "Not a regular file but a character device"
                          : S_ISBLK(mode)  ? "Not a regular file but a block device"
                          : S_ISSOCK(mode) ? "Not a regular file but a socket"
                                           : "Not a regular file";
    return SaveResult{EINVAL, step, problem};
}

// Writes the whole content to an open file and flushes it to the disk.
SaveResult WriteAndSync(int fd, const std::string& content) {
    if (!WriteAllAt(fd, content, 0)) return Failed("writing the file");
    if (::fsync(fd) != 0) return Failed("flushing the file to disk");
    return {};
}

SaveResult Stamped(SaveResult result, int fd) {
    struct stat info {};
    if (result && ::fstat(fd, &info) == 0) result.stamp = StampFrom(info);
    return result;
}

// Overwrites the old content where it lies. The new content's space is reserved before anything is written,
// so a full disk refuses the save rather than leaving the file cut short; should a write still fail, the old
// content, read first, is put back.
SaveResult OverwriteKeepingOldOnFailure(int fd, const std::string& content) {
    std::string old;
    if (!ReadAll(fd, old)) return Failed("reading the old content");
    if (!content.empty()) {
        int reserved;
        do reserved = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(content.size()));
        while (reserved != 0 && errno == EINTR);
        if (reserved != 0) return Failed("reserving space for the new content");
    }
    SaveResult result;
    if (!WriteAllAt(fd, content, 0))
        result = Failed("writing the file");
    else if (::ftruncate(fd, static_cast<off_t>(content.size())) != 0)
        result = Failed("setting the file size");
    else if (::fsync(fd) != 0)
        result = Failed("flushing the file to disk");
    if (!result && WriteAllAt(fd, old, 0) && ::ftruncate(fd, static_cast<off_t>(old.size())) == 0)
        ::fsync(fd);
    return result;
}

// For a folder that takes no new file.
SaveResult RewriteInPlace(const fs::path& target, const std::string& content, mode_t mode) {
    RegularFile file = OpenRegularFile(target, O_RDWR | O_CREAT, mode);
    if (file.notRegular) return NotRegular(file.info.st_mode);
    if (!file) {
        errno = file.error;
        return Failed("creating the file");
    }
    SaveResult result = Stamped(OverwriteKeepingOldOnFailure(file.fd.get(), content), file.fd.get());
    if (!file.fd.Close() && result) result = Failed("closing the file");
    return result;
}

// Where a save lands: the name itself or, for a symbolic link, the end of its chain of links, which need not
// exist yet. A relative link is relative to the folder it lies in.
SaveResult FollowLinks(fs::path file, fs::path& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            target = std::move(file);
            return {};
        }
        std::error_code error;
        fs::path link = fs::read_symlink(file, error);
        if (error) return SaveResult{error.value(), "following the link"};
        file = link.is_absolute() ? link : file.parent_path() / link;
    }
    return SaveResult{ELOOP, "following the link"};
}

}  // namespace

std::optional<FileStamp> StampOf(const fs::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return StampFrom(info);
}

// Only a regular file is read: a FIFO or a device of that name would block the core's thread, and a
// folder has no lines.
std::optional<FileVersion> ReadRegularFile(const fs::path& file) {
    RegularFile opened = OpenRegularFile(file, O_RDONLY);
    FileVersion version;
    if (!opened || !ReadAll(opened.fd.get(), version.content)) return std::nullopt;
    // Taken before reading: a writer still busy meanwhile shows up as a change at the next look.
    version.stamp = StampFrom(opened.info);
    return version;
}

std::vector<std::string> SplitEntries(const std::string& content) {
    std::vector<std::string> entries;
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

std::vector<std::string> LoadServerEntries(const fs::path& file) {
    std::optional<FileVersion> version = ReadRegularFile(file);
    return version ? SplitEntries(version->content) : std::vector<std::string>{};
}

std::string SaveResult::Reason() const {
    return std::string(problem != nullptr ? problem : std::strerror(error)) + " (" + step + ")";
}

SaveResult SaveServerEntries(const fs::path& file, const std::vector<std::string>& entries) {
    std::string content;
    for (const std::string& line : entries) content.append(line).append("\r\n");
    return SaveFileContent(file, content);
}

SaveResult SaveFileContent(const fs::path& file, const std::string& content) {
    // A link is saved through to what it points at, so the link itself stays.
    fs::path target;
    if (SaveResult followed = FollowLinks(file, target); !followed) return followed;

    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) return NotRegular(info.st_mode);
    // Replacing a file its user may not write would go round its permissions.
    if (exists && ::access(target.c_str(), W_OK) != 0) return Failed("checking write permission");
    const mode_t mode = exists ? (info.st_mode & 07777) : (0666 & ~CurrentUmask());

    std::string tempName = target.has_parent_path() ? target.parent_path().string() : std::string(".");
    tempName.append("/.").append(target.filename().string()).append(".XXXXXX");
    UniqueFd fd(::mkstemp(tempName.data()));
    if (fd.get() < 0) return RewriteInPlace(target, content, mode);

    SaveResult result;
    if (::fchmod(fd.get(), mode) != 0)
        result = Failed("setting the file mode");
    else
        result = Stamped(WriteAndSync(fd.get(), content), fd.get());
    if (!fd.Close() && result) result = Failed("closing the file");
    if (result && ::rename(tempName.c_str(), target.c_str()) != 0) result = Failed("replacing the file");
    if (!result) ::unlink(tempName.c_str());
    return result;
}
