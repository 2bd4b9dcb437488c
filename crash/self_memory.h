#pragma once

#include <cstddef>
#include <cstdint>

// The process's own memory map, read from /proc/self/maps inside the crash handler, and reads of its own
// memory that fail instead of faulting. Everything here must stay async-signal-safe: it works on a
// SelfMemory prepared (zeroed) before the crash, never allocates, and uses raw system calls only.
namespace crashdump {

constexpr size_t kMapsCapacity = 1 << 20;
constexpr size_t kMaxMappings = 8192;

struct Mapping {
    uint64_t start;
    uint64_t end;
    uint64_t offset;
    uint32_t pathOffset;  // into SelfMemory::maps
    uint32_t pathLength;
    bool readable;
};

struct SelfMemory {
    char maps[kMapsCapacity];  // the text of /proc/self/maps, whole lines only
    size_t mapsLength;
    Mapping mappings[kMaxMappings];
    size_t mappingCount;
    bool vmReadvUnavailable;
};

// Reads /proc/self/maps into memory.maps and parses it into memory.mappings.
void ReadMaps(SelfMemory& memory);

// The mapping that holds address if it is readable; nullptr if it is not, or is not mapped.
const Mapping* FindReadableMapping(const SelfMemory& memory, uint64_t address);

// The mapping's path (not NUL-terminated; pathLength bytes), empty for anonymous memory.
const char* PathOf(const SelfMemory& memory, const Mapping& mapping);
bool SamePath(const SelfMemory& memory, const Mapping& a, const Mapping& b);

// Copies size bytes at address into out; false, without faulting, where they are not all readable.
bool ReadMemory(SelfMemory& memory, uint64_t address, void* out, size_t size);

}  // namespace crashdump
