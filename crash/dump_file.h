#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crash/minidump_format.h"

// The dump file's blocks, laid out one after the other from the start of fd, every block 8-byte aligned. All
// of it runs inside the crash handler and must stay async-signal-safe: raw system calls only.
namespace crashdump {

class DumpFile {
public:
    explicit DumpFile(int fd);

    // Claims size bytes after the last block, to be written with WriteAt; returns where they start.
    uint32_t Reserve(size_t size);
    // Best effort: a failed write leaves a short dump, which is still worth more than none.
    void WriteAt(uint32_t rva, const void* data, size_t size);
    md::Location Append(const void* data, size_t size);
    // A 32-bit count followed directly by the items: the layout of every minidump list.
    md::Location AppendList(const void* items, uint32_t count, size_t itemSize);
    // Adds bytes right after the last block, for data whose size is known only once it is written.
    void Extend(const void* data, size_t size);
    uint32_t End() const { return m_end; }

private:
    int m_fd;
    uint32_t m_end = 0;
};

// Writes a MINIDUMP_STRING: byte length, UTF-16 text, then a NUL unit that the length does not count. The
// string is built in room; text beyond its capacity is cut.
md::Location AppendString(DumpFile& out, std::span<unsigned char> room, const char* utf8, size_t length);

// Streams a (/proc) file of unknown size into the dump, read through room.
md::Location AppendFile(DumpFile& out, std::span<unsigned char> room, const char* path);

}  // namespace crashdump
