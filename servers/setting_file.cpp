#include "servers/setting_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

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

mode_t ModeFor(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) return info.st_mode & 07777;
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::vector<std::string> LoadServerEntries(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> entries;
    if (!in) return entries;
    std::string content;
    try {
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // libstdc++ throws on a failed read, e.g. when Setting.ini is a folder: unreadable, so no entries.
        return entries;
    }
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

bool SaveServerEntries(const std::filesystem::path& file, const std::vector<std::string>& entries) {
    std::string content;
    for (const std::string& line : entries) content.append(line).append("\r\n");

    // Appended piece by piece: GCC 12 reports a false -Wrestrict for a prepended "." at -O2 and -O3.
    std::string hiddenName = ".";
    hiddenName.append(file.filename().native()).append(".XXXXXX");
    std::string tempName = (file.parent_path() / hiddenName).string();
    int fd = ::mkstemp(tempName.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, ModeFor(file)) == 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(tempName.c_str(), file.c_str()) == 0) return true;
    ::unlink(tempName.c_str());
    return false;
}
