#include "crash/self_memory.h"

#include <errno.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "crash/signal_safe.h"

// Everything here runs inside the crash handler and must stay async-signal-safe.

namespace crashdump {
namespace {

uint64_t ParseHex(const char*& p, const char* end) {
    uint64_t value = 0;
    for (; p < end; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) break;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return value;
}

void SkipToken(const char*& p, const char* end) {
    while (p < end && *p != ' ') ++p;
    while (p < end && *p == ' ') ++p;
}

// Only touches ranges /proc/self/maps lists as readable. Plain loads, hidden from ASan, whose shadow memory
// would flag stack red zones.
__attribute__((no_sanitize_address)) bool CopyMappedMemory(const SelfMemory& memory, uint64_t address,
                                                           void* out, size_t size) {
    const Mapping* mapping = FindReadableMapping(memory, address);
    if (mapping == nullptr || size > mapping->end - address) return false;
    const auto* from = reinterpret_cast<const volatile unsigned char*>(address);
    auto* to = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < size; ++i) to[i] = from[i];
    return true;
}

}  // namespace

// /proc/self/maps lines: "start-end perms offset dev inode   path".
void ReadMaps(SelfMemory& memory) {
    memory.mapsLength = ReadFile("/proc/self/maps", memory.maps, kMapsCapacity);
    // A map too long for the buffer keeps its whole lines only.
    if (memory.mapsLength == kMapsCapacity) {
        while (memory.mapsLength > 0 && memory.maps[memory.mapsLength - 1] != '\n') --memory.mapsLength;
    }
    memory.mappingCount = 0;
    const char* p = memory.maps;
    const char* const end = memory.maps + memory.mapsLength;
    while (p < end && memory.mappingCount < kMaxMappings) {
        const char* lineEnd = p;
        while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
        Mapping mapping{};
        mapping.start = ParseHex(p, lineEnd);
        if (p < lineEnd && *p == '-') ++p;
        mapping.end = ParseHex(p, lineEnd);
        SkipToken(p, lineEnd);
        mapping.readable = p < lineEnd && *p == 'r';
        SkipToken(p, lineEnd);
        mapping.offset = ParseHex(p, lineEnd);
        SkipToken(p, lineEnd);  // offset
        SkipToken(p, lineEnd);  // device
        SkipToken(p, lineEnd);  // inode
        mapping.pathOffset = static_cast<uint32_t>(p - memory.maps);
        mapping.pathLength = static_cast<uint32_t>(lineEnd - p);
        if (mapping.end > mapping.start) memory.mappings[memory.mappingCount++] = mapping;
        p = lineEnd + 1;
    }
}

const Mapping* FindReadableMapping(const SelfMemory& memory, uint64_t address) {
    for (size_t i = 0; i < memory.mappingCount; ++i) {
        const Mapping& mapping = memory.mappings[i];
        if (address >= mapping.start && address < mapping.end) return mapping.readable ? &mapping : nullptr;
    }
    return nullptr;
}

const char* PathOf(const SelfMemory& memory, const Mapping& mapping) {
    return memory.maps + mapping.pathOffset;
}

bool SamePath(const SelfMemory& memory, const Mapping& a, const Mapping& b) {
    return a.pathLength == b.pathLength &&
           std::memcmp(PathOf(memory, a), PathOf(memory, b), a.pathLength) == 0;
}

// process_vm_readv on ourselves returns EFAULT instead of faulting; where a seccomp policy forbids it, fall
// back to copying ranges the memory map says are readable.
bool ReadMemory(SelfMemory& memory, uint64_t address, void* out, size_t size) {
    if (size == 0) return true;
    if (!memory.vmReadvUnavailable) {
        iovec local{out, size};
        iovec remote{reinterpret_cast<void*>(address), size};
        const long got = syscall(SYS_process_vm_readv, getpid(), &local, 1, &remote, 1, 0);
        if (got == static_cast<long>(size)) return true;
        if (got >= 0 || errno == EFAULT) return false;
        memory.vmReadvUnavailable = true;
    }
    return CopyMappedMemory(memory, address, out, size);
}

}  // namespace crashdump
