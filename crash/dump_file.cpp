#include "crash/dump_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "crash/signal_safe.h"

// Everything here runs inside the crash handler and must stay async-signal-safe.

namespace crashdump {

DumpFile::DumpFile(int fd) : m_fd(fd) {}

uint32_t DumpFile::Reserve(size_t size) {
    const uint32_t rva = static_cast<uint32_t>(AlignUp(m_end, 8));
    m_end = rva + static_cast<uint32_t>(size);
    return rva;
}

void DumpFile::WriteAt(uint32_t rva, const void* data, size_t size) {
    if (size == 0) return;
    if (lseek(m_fd, rva, SEEK_SET) >= 0) WriteAll(m_fd, data, size);
}

md::Location DumpFile::Append(const void* data, size_t size) {
    // An empty block must not point past the end of the file.
    if (size == 0) return {};
    const uint32_t rva = Reserve(size);
    WriteAt(rva, data, size);
    return {static_cast<uint32_t>(size), rva};
}

md::Location DumpFile::AppendList(const void* items, uint32_t count, size_t itemSize) {
    const size_t size = sizeof(count) + count * itemSize;
    const uint32_t rva = Reserve(size);
    WriteAt(rva, &count, sizeof(count));
    WriteAt(rva + static_cast<uint32_t>(sizeof(count)), items, count * itemSize);
    return {static_cast<uint32_t>(size), rva};
}

void DumpFile::Extend(const void* data, size_t size) {
    WriteAt(m_end, data, size);
    m_end += static_cast<uint32_t>(size);
}

md::Location AppendString(DumpFile& out, std::span<unsigned char> room, const char* utf8, size_t length) {
    unsigned char* buffer = room.data();
    const size_t maxUnits = (room.size() - sizeof(uint32_t)) / 2 - 1;
    size_t units = 0;
    auto put = [&](uint32_t unit) {
        const auto value = static_cast<uint16_t>(unit);
        std::memcpy(buffer + sizeof(uint32_t) + 2 * units++, &value, sizeof(value));
    };
    size_t i = 0;
    while (i < length && units + 2 <= maxUnits) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t extra = lead < 0x80           ? 0
                             : (lead >> 5) == 0x6  ? 1
                             : (lead >> 4) == 0xe  ? 2
                             : (lead >> 3) == 0x1e ? 3
                                                   : 4;
        uint32_t codePoint = extra == 0 ? lead : lead & (0x3fu >> extra);
        bool valid = extra < 4 && i + extra < length;
        for (size_t k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next & 0xc0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3fu);
        }
        if (!valid) {
            put(0xfffd);
            ++i;
            continue;
        }
        i += extra + 1;
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            put(0xd800 + (codePoint >> 10));
            put(0xdc00 + (codePoint & 0x3ff));
        } else {
            put(codePoint);
        }
    }
    const auto bytes = static_cast<uint32_t>(2 * units);
    std::memcpy(buffer, &bytes, sizeof(bytes));
    put(0);
    return out.Append(buffer, sizeof(bytes) + 2 * units);
}

md::Location AppendFile(DumpFile& out, std::span<unsigned char> room, const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const uint32_t rva = out.Reserve(0);
    for (;;) {
        const ssize_t got = read(fd, room.data(), room.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.Extend(room.data(), static_cast<size_t>(got));
    }
    close(fd);
    if (out.End() == rva) return {};
    return {out.End() - rva, rva};
}

}  // namespace crashdump
