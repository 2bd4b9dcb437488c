#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Small helpers for code that runs inside the crash handler. They must stay async-signal-safe: raw system
// calls only, no allocation, no stdio, no locks.
namespace crashdump {

pid_t CurrentThreadId();

constexpr uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

size_t StringLength(const char* text);

// Writes all of data, retrying on EINTR and short writes; false on an error.
bool WriteAll(int fd, const void* data, size_t size);

// Reads a whole (/proc) file into out; returns the bytes read.
size_t ReadFile(const char* path, char* out, size_t capacity);

}  // namespace crashdump
