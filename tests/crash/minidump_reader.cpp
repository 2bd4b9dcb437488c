#include "tests/crash/minidump_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace minidump {
namespace {

class Reader {
public:
    explicit Reader(const std::string& bytes) : m_bytes(bytes) {}

    // Every range the dump refers to goes through here.
    std::string_view Range(uint64_t rva, uint64_t size, const char* what) {
        if (rva + size > m_bytes.size())
            throw std::runtime_error(std::string(what) + " at " + std::to_string(rva) + "+" +
                                     std::to_string(size) + " is outside the " +
                                     std::to_string(m_bytes.size()) + "-byte file");
        if (size > 0) m_furthest = std::max(m_furthest, rva + size);
        return std::string_view(m_bytes).substr(rva, size);
    }

    uint64_t Furthest() const { return m_furthest; }

    // MINIDUMP_STRING: byte length, UTF-16 text, NUL unit.
    std::string String(uint32_t rva, const char* what) {
        const uint32_t length = U32(Range(rva, 4, what), 0);
        const std::string_view units = Range(rva + 4ull, length + 2ull, what);
        std::string utf8;
        for (size_t i = 0; i + 2 <= length; i += 2) {
            uint32_t c = U16(units, i);
            if (c >= 0xd800 && c < 0xdc00 && i + 4 <= length) {
                c = 0x10000 + ((c - 0xd800) << 10) + (U16(units, i + 2) - 0xdc00u);
                i += 2;
            }
            if (c < 0x80) {
                utf8 += static_cast<char>(c);
            } else if (c < 0x800) {
                utf8 += static_cast<char>(0xc0 | c >> 6);
                utf8 += static_cast<char>(0x80 | (c & 0x3f));
            } else if (c < 0x10000) {
                utf8 += static_cast<char>(0xe0 | c >> 12);
                utf8 += static_cast<char>(0x80 | (c >> 6 & 0x3f));
                utf8 += static_cast<char>(0x80 | (c & 0x3f));
            } else {
                utf8 += static_cast<char>(0xf0 | c >> 18);
                utf8 += static_cast<char>(0x80 | (c >> 12 & 0x3f));
                utf8 += static_cast<char>(0x80 | (c >> 6 & 0x3f));
                utf8 += static_cast<char>(0x80 | (c & 0x3f));
            }
        }
        return utf8;
    }

    static uint16_t U16(std::string_view data, size_t offset) { return Load<uint16_t>(data, offset); }
    static uint32_t U32(std::string_view data, size_t offset) { return Load<uint32_t>(data, offset); }
    static uint64_t U64(std::string_view data, size_t offset) { return Load<uint64_t>(data, offset); }

private:
    template <typename T>
    static T Load(std::string_view data, size_t offset) {
        if (offset + sizeof(T) > data.size()) throw std::runtime_error("read past the end of a stream");
        T value;
        std::memcpy(&value, data.data() + offset, sizeof(T));
        return value;
    }

    const std::string& m_bytes;
    uint64_t m_furthest = 0;
};

constexpr size_t kContextSize = 1232;
constexpr size_t kThreadSize = 48;
constexpr size_t kModuleSize = 108;
constexpr size_t kMemoryDescriptorSize = 16;

// A 32-bit count followed by count items of itemSize bytes, nothing in between.
size_t ListCount(std::string_view stream, size_t itemSize, const char* what) {
    const uint32_t count = Reader::U32(stream, 0);
    if (4 + uint64_t{count} * itemSize != stream.size())
        throw std::runtime_error(std::string(what) + " size does not match its count");
    return count;
}

Context ReadContext(Reader& reader, uint32_t rva, uint32_t size) {
    if (size != kContextSize)
        throw std::runtime_error("thread context of " + std::to_string(size) + " bytes");
    const std::string_view bytes = reader.Range(rva, size, "thread context");
    Context context;
    context.flags = Reader::U32(bytes, 48);
    context.rsp = Reader::U64(bytes, 152);
    context.rbp = Reader::U64(bytes, 160);
    context.rip = Reader::U64(bytes, 248);
    return context;
}

void ReadThreads(Reader& reader, std::string_view stream, Dump& dump) {
    const size_t count = ListCount(stream, kThreadSize, "thread list");
    for (size_t i = 0; i < count; ++i) {
        const std::string_view entry = stream.substr(4 + i * kThreadSize, kThreadSize);
        Thread thread;
        thread.id = Reader::U32(entry, 0);
        thread.stackStart = Reader::U64(entry, 24);
        thread.stackSize = Reader::U32(entry, 32);
        thread.stackRva = Reader::U32(entry, 36);
        reader.Range(thread.stackRva, thread.stackSize, "thread stack");
        thread.contextRva = Reader::U32(entry, 44);
        thread.context = ReadContext(reader, thread.contextRva, Reader::U32(entry, 40));
        dump.threads.push_back(thread);
    }
}

void ReadException(Reader& reader, std::string_view stream, Dump& dump) {
    if (stream.size() != 168)
        throw std::runtime_error("exception stream of " + std::to_string(stream.size()));
    Exception exception;
    exception.threadId = Reader::U32(stream, 0);
    exception.code = Reader::U32(stream, 8);
    exception.flags = Reader::U32(stream, 12);
    exception.address = Reader::U64(stream, 24);
    exception.contextRva = Reader::U32(stream, 164);
    ReadContext(reader, exception.contextRva, Reader::U32(stream, 160));
    dump.exception = exception;
}

void ReadMemoryList(Reader& reader, std::string_view stream, Dump& dump) {
    const size_t count = ListCount(stream, kMemoryDescriptorSize, "memory list");
    for (size_t i = 0; i < count; ++i) {
        const std::string_view entry = stream.substr(4 + i * kMemoryDescriptorSize, kMemoryDescriptorSize);
        MemoryRange range{Reader::U64(entry, 0), Reader::U32(entry, 8), Reader::U32(entry, 12)};
        reader.Range(range.rva, range.size, "memory range");
        dump.memory.push_back(range);
    }
}

void ReadModules(Reader& reader, std::string_view stream, Dump& dump) {
    const size_t count = ListCount(stream, kModuleSize, "module list");
    for (size_t i = 0; i < count; ++i) {
        const std::string_view entry = stream.substr(4 + i * kModuleSize, kModuleSize);
        Module module;
        module.base = Reader::U64(entry, 0);
        module.size = Reader::U32(entry, 8);
        module.name = reader.String(Reader::U32(entry, 20), "module name");
        const uint32_t cvSize = Reader::U32(entry, 76);
        if (cvSize >= 4) {
            const std::string_view cv = reader.Range(Reader::U32(entry, 80), cvSize, "CodeView record");
            module.cvSignature = Reader::U32(cv, 0);
            module.buildId = std::string(cv.substr(4));
        }
        dump.modules.push_back(module);
    }
}

void ReadSystemInfo(Reader& reader, std::string_view stream, Dump& dump) {
    if (stream.size() != 56) throw std::runtime_error("system info of " + std::to_string(stream.size()));
    SystemInfo info;
    info.architecture = Reader::U16(stream, 0);
    info.processors = static_cast<uint8_t>(stream[6]);
    info.platformId = Reader::U32(stream, 20);
    info.osVersion = reader.String(Reader::U32(stream, 24), "OS version");
    dump.systemInfo = info;
}

void ReadMiscInfo(std::string_view stream, Dump& dump) {
    if (stream.size() < 24 || Reader::U32(stream, 0) != stream.size())
        throw std::runtime_error("misc info size is wrong");
    if (Reader::U32(stream, 4) & 0x1) dump.processId = Reader::U32(stream, 8);
}

}  // namespace

Dump Parse(std::string bytes) {
    Dump dump;
    dump.bytes = std::move(bytes);
    Reader reader(dump.bytes);
    const std::string_view header = reader.Range(0, 32, "header");
    dump.signature = Reader::U32(header, 0);
    dump.version = Reader::U32(header, 4);
    const uint32_t streamCount = Reader::U32(header, 8);
    const std::string_view directory =
        reader.Range(Reader::U32(header, 12), streamCount * 12ull, "directory");
    for (uint32_t i = 0; i < streamCount; ++i) {
        const uint32_t type = Reader::U32(directory, i * 12);
        const std::string_view stream =
            reader.Range(Reader::U32(directory, i * 12 + 8), Reader::U32(directory, i * 12 + 4), "stream");
        if (!dump.streams.emplace(type, std::string(stream)).second)
            throw std::runtime_error("stream type " + std::to_string(type) + " appears twice");
    }
    for (const auto& [type, stream] : dump.streams) {
        switch (type) {
            case kThreadList:
                ReadThreads(reader, stream, dump);
                break;
            case kException:
                ReadException(reader, stream, dump);
                break;
            case kMemoryList:
                ReadMemoryList(reader, stream, dump);
                break;
            case kModuleList:
                ReadModules(reader, stream, dump);
                break;
            case kSystemInfo:
                ReadSystemInfo(reader, stream, dump);
                break;
            case kMiscInfo:
                ReadMiscInfo(stream, dump);
                break;
            default:
                break;
        }
    }
    dump.furthestByte = reader.Furthest();
    return dump;
}

const Thread* Dump::FindThread(uint32_t id) const {
    for (const Thread& thread : threads)
        if (thread.id == id) return &thread;
    return nullptr;
}

const Module* Dump::FindModule(std::string_view path) const {
    for (const Module& module : modules)
        if (module.name == path) return &module;
    return nullptr;
}

const Module* Dump::ModuleContaining(uint64_t address) const {
    for (const Module& module : modules)
        if (address >= module.base && address - module.base < module.size) return &module;
    return nullptr;
}

const MemoryRange* Dump::RangeContaining(uint64_t address, uint64_t size) const {
    for (const MemoryRange& range : memory)
        if (address >= range.start && address + size <= range.start + range.size) return &range;
    return nullptr;
}

std::optional<std::string> Dump::ReadMemory(uint64_t address, size_t size) const {
    const MemoryRange* range = RangeContaining(address, size);
    if (range == nullptr) return std::nullopt;
    return bytes.substr(range->rva + (address - range->start), size);
}

}  // namespace minidump
