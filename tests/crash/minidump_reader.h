#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads the parts of a minidump that crash_dump_test checks. It works from byte offsets, not from the
// writer's structs, so a layout mistake in the writer shows up here instead of being mirrored.
namespace minidump {

constexpr uint32_t kThreadList = 3;
constexpr uint32_t kModuleList = 4;
constexpr uint32_t kMemoryList = 5;
constexpr uint32_t kException = 6;
constexpr uint32_t kSystemInfo = 7;
constexpr uint32_t kMiscInfo = 15;
constexpr uint32_t kLinuxProcStatus = 0x47670004;
constexpr uint32_t kLinuxMaps = 0x47670009;

constexpr uint32_t kContextAmd64 = 0x00100000;
constexpr uint32_t kContextControl = 0x1;
constexpr uint32_t kContextInteger = 0x2;
constexpr uint32_t kCodeViewElf = 0x4270454c;  // "BpEL"

struct Context {
    uint32_t flags = 0;
    uint64_t rsp = 0;
    uint64_t rbp = 0;
    uint64_t rip = 0;
};

struct Thread {
    uint32_t id = 0;
    uint64_t stackStart = 0;
    uint32_t stackSize = 0;
    uint32_t stackRva = 0;
    uint32_t contextRva = 0;
    Context context;
};

struct Exception {
    uint32_t threadId = 0;
    uint32_t code = 0;
    uint32_t flags = 0;
    uint64_t address = 0;
    uint32_t contextRva = 0;
};

struct MemoryRange {
    uint64_t start = 0;
    uint32_t size = 0;
    uint32_t rva = 0;
};

struct Module {
    uint64_t base = 0;
    uint32_t size = 0;
    std::string name;
    uint32_t cvSignature = 0;
    std::string buildId;  // raw bytes
};

struct SystemInfo {
    uint16_t architecture = 0;
    uint8_t processors = 0;
    uint32_t platformId = 0;
    std::string osVersion;
};

struct Dump {
    uint32_t signature = 0;
    uint32_t version = 0;
    std::map<uint32_t, std::string> streams;  // type -> stream bytes
    // One past the last byte that the header, the directory or anything they point at covers.
    uint64_t furthestByte = 0;

    std::vector<Thread> threads;
    std::optional<Exception> exception;
    std::vector<MemoryRange> memory;
    std::vector<Module> modules;
    std::optional<SystemInfo> systemInfo;
    std::optional<uint32_t> processId;

    const Thread* FindThread(uint32_t id) const;
    const Module* FindModule(std::string_view path) const;
    const Module* ModuleContaining(uint64_t address) const;
    const MemoryRange* RangeContaining(uint64_t address, uint64_t size) const;
    // The dump's copy of [address, address + size), where a memory range holds all of it.
    std::optional<std::string> ReadMemory(uint64_t address, size_t size) const;

    std::string bytes;
};

// Throws std::runtime_error when anything points outside the file or a stream is too short.
Dump Parse(std::string bytes);

}  // namespace minidump
