#include "app/crash_dump.h"

#include <cpuid.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

// Everything reachable from OnCrashSignal runs inside a signal handler and must stay async-signal-safe:
// raw system calls, memory prepared by Install(), no allocation, no stdio, no locks, no exceptions.

namespace crashdump {
namespace {

// ---- The minidump layout, little-endian and packed as on disk ----

namespace md {

constexpr uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr uint32_t kVersion = 0xa793;

enum StreamType : uint32_t {
    kThreadListStream = 3,
    kModuleListStream = 4,
    kMemoryListStream = 5,
    kExceptionStream = 6,
    kSystemInfoStream = 7,
    kMiscInfoStream = 15,
    // Breakpad's Linux streams: verbatim copies of /proc files.
    kLinuxCpuInfoStream = 0x47670003,
    kLinuxProcStatusStream = 0x47670004,
    kLinuxCmdLineStream = 0x47670006,
    kLinuxAuxvStream = 0x47670008,
    kLinuxMapsStream = 0x47670009,
};

constexpr uint16_t kArchitectureAmd64 = 9;
constexpr uint32_t kPlatformLinux = 0x8201;

constexpr uint32_t kContextAmd64 = 0x00100000;
constexpr uint32_t kContextControl = kContextAmd64 | 0x1;
constexpr uint32_t kContextInteger = kContextAmd64 | 0x2;
constexpr uint32_t kContextSegments = kContextAmd64 | 0x4;
constexpr uint32_t kContextFloatingPoint = kContextAmd64 | 0x8;

constexpr uint32_t kCodeViewElfSignature = 0x4270454c;  // "BpEL": followed by the raw build id bytes
constexpr uint32_t kMiscInfoHasProcessId = 0x1;

#pragma pack(push, 1)

struct Location {
    uint32_t dataSize;
    uint32_t rva;
};

struct MemoryDescriptor {
    uint64_t startOfMemoryRange;
    Location memory;
};

struct Header {
    uint32_t signature;
    uint32_t version;
    uint32_t numberOfStreams;
    uint32_t streamDirectoryRva;
    uint32_t checkSum;
    uint32_t timeDateStamp;
    uint64_t flags;
};

struct Directory {
    uint32_t streamType;
    Location location;
};

struct Thread {
    uint32_t threadId;
    uint32_t suspendCount;
    uint32_t priorityClass;
    uint32_t priority;
    uint64_t teb;
    MemoryDescriptor stack;
    Location threadContext;
};

struct Uint128 {
    uint64_t low;
    uint64_t high;
};

struct ContextAmd64 {
    uint64_t homeRegisters[6];
    uint32_t contextFlags;
    uint32_t mxCsr;
    uint16_t segCs, segDs, segEs, segFs, segGs, segSs;
    uint32_t eflags;
    uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
    uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip;
    uint8_t fxsave[512];  // the FXSAVE image: x87, MXCSR and XMM0-15, as the kernel saves it
    Uint128 vectorRegisters[26];
    uint64_t vectorControl;
    uint64_t debugControl;
    uint64_t lastBranchToRip, lastBranchFromRip, lastExceptionToRip, lastExceptionFromRip;
};

struct SystemInfo {
    uint16_t processorArchitecture;
    uint16_t processorLevel;
    uint16_t processorRevision;
    uint8_t numberOfProcessors;
    uint8_t productType;
    uint32_t majorVersion;
    uint32_t minorVersion;
    uint32_t buildNumber;
    uint32_t platformId;
    uint32_t csdVersionRva;
    uint16_t suiteMask;
    uint16_t reserved;
    uint32_t cpuVendorId[3];
    uint32_t cpuVersionInformation;
    uint32_t cpuFeatureInformation;
    uint32_t cpuAmdExtendedFeatures;
};

struct ExceptionRecord {
    uint32_t exceptionCode;
    uint32_t exceptionFlags;
    uint64_t exceptionRecord;
    uint64_t exceptionAddress;
    uint32_t numberParameters;
    uint32_t unusedAlignment;
    uint64_t exceptionInformation[15];
};

struct ExceptionStream {
    uint32_t threadId;
    uint32_t alignment;
    ExceptionRecord record;
    Location threadContext;
};

struct FixedFileInfo {
    uint32_t fields[13];
};

struct Module {
    uint64_t baseOfImage;
    uint32_t sizeOfImage;
    uint32_t checkSum;
    uint32_t timeDateStamp;
    uint32_t moduleNameRva;
    FixedFileInfo versionInfo;
    Location cvRecord;
    Location miscRecord;
    uint64_t reserved0;
    uint64_t reserved1;
};

struct MiscInfo {
    uint32_t sizeOfInfo;
    uint32_t flags1;
    uint32_t processId;
    uint32_t processCreateTime;
    uint32_t processUserTime;
    uint32_t processKernelTime;
};

#pragma pack(pop)

static_assert(sizeof(Location) == 8);
static_assert(sizeof(MemoryDescriptor) == 16);
static_assert(sizeof(Header) == 32);
static_assert(sizeof(Directory) == 12);
static_assert(sizeof(Thread) == 48);
static_assert(sizeof(ContextAmd64) == 1232);
static_assert(offsetof(ContextAmd64, rip) == 248);
static_assert(offsetof(ContextAmd64, fxsave) == 256);
static_assert(sizeof(SystemInfo) == 56);
static_assert(sizeof(ExceptionRecord) == 152);
static_assert(sizeof(ExceptionStream) == 168);
static_assert(sizeof(Module) == 108);
static_assert(sizeof(MiscInfo) == 24);

}  // namespace md

// ---- Memory prepared before any crash ----

constexpr char kDumpFileName[] = "DumpFile.dmp";
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

constexpr size_t kMapsCapacity = 1 << 20;
constexpr size_t kMaxMappings = 8192;
constexpr size_t kMaxModules = 1024;
constexpr size_t kMaxProgramHeaders = 64;
constexpr size_t kMaxBuildIdBytes = 64;
constexpr size_t kMaxStreams = 16;
// Enough stack for a useful backtrace; a deeper stack is cut at this many bytes above the stack pointer.
constexpr size_t kMaxStackBytes = 64 * 1024;
constexpr size_t kBufferSize = kMaxStackBytes;
// Leaf functions may keep data this far below the stack pointer (the x86-64 ABI red zone).
constexpr uint64_t kRedZone = 128;
// A stack overflow leaves the stack pointer in the guard area just below the stack.
constexpr uint64_t kMaxGuardGap = 64 * 1024;
constexpr size_t kMinAltStackSize = 64 * 1024;

struct Mapping {
    uint64_t start;
    uint64_t end;
    uint64_t offset;
    uint32_t pathOffset;  // into Scratch::maps
    uint32_t pathLength;
    bool readable;
};

struct Scratch {
    // Filled by Install().
    md::SystemInfo systemInfo;
    char osVersion[512];

    // Filled by the handler.
    char maps[kMapsCapacity];
    size_t mapsLength;
    Mapping mappings[kMaxMappings];
    size_t mappingCount;
    md::Module modules[kMaxModules];
    md::ContextAmd64 context;
    Elf64_Phdr programHeaders[kMaxProgramHeaders];
    alignas(16) unsigned char buffer[kBufferSize];
    bool vmReadvUnavailable;
};

std::atomic<Scratch*> g_scratch{nullptr};
// The thread writing the dump; 0 while nobody is.
std::atomic<pid_t> g_dumpingThread{0};
// The signal that started the dump: the process ends by it even if writing the dump faults.
std::atomic<int> g_dumpSignal{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);
static_assert(std::atomic<Scratch*>::is_always_lock_free);

struct Crash {
    int signal;
    const siginfo_t* info;
    const ucontext_t* context;
    pid_t pid;
    pid_t tid;
};

// ---- Small async-signal-safe helpers ----

pid_t CurrentThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

size_t StringLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Reads a whole (/proc) file into out; returns the bytes read.
size_t ReadFile(const char* path, char* out, size_t capacity) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t length = 0;
    while (length < capacity) {
        const ssize_t got = read(fd, out + length, capacity - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<size_t>(got);
    }
    close(fd);
    return length;
}

// ---- The dump file ----

// Lays blocks out one after the other; every block starts 8-byte aligned.
class DumpFile {
public:
    explicit DumpFile(int fd) : m_fd(fd) {}

    uint32_t Reserve(size_t size) {
        const uint32_t rva = static_cast<uint32_t>(AlignUp(m_end, 8));
        m_end = rva + static_cast<uint32_t>(size);
        return rva;
    }

    void WriteAt(uint32_t rva, const void* data, size_t size) {
        if (size == 0) return;
        // Best effort: a short dump is still worth more than none.
        if (lseek(m_fd, rva, SEEK_SET) >= 0) WriteAll(m_fd, data, size);
    }

    md::Location Append(const void* data, size_t size) {
        // An empty block must not point past the end of the file.
        if (size == 0) return {};
        const uint32_t rva = Reserve(size);
        WriteAt(rva, data, size);
        return {static_cast<uint32_t>(size), rva};
    }

    // A 32-bit count followed directly by the items: the layout of every minidump list.
    md::Location AppendList(const void* items, uint32_t count, size_t itemSize) {
        const size_t size = sizeof(count) + count * itemSize;
        const uint32_t rva = Reserve(size);
        WriteAt(rva, &count, sizeof(count));
        WriteAt(rva + static_cast<uint32_t>(sizeof(count)), items, count * itemSize);
        return {static_cast<uint32_t>(size), rva};
    }

    // Adds bytes right after the last block, for data whose size is known only once it is written.
    void Extend(const void* data, size_t size) {
        WriteAt(m_end, data, size);
        m_end += static_cast<uint32_t>(size);
    }

    uint32_t End() const { return m_end; }

private:
    int m_fd;
    uint32_t m_end = 0;
};

// Writes a MINIDUMP_STRING: byte length, UTF-16 text, then a NUL unit that the length does not count.
md::Location AppendString(DumpFile& out, Scratch& scratch, const char* utf8, size_t length) {
    unsigned char* buffer = scratch.buffer;
    const size_t maxUnits = (kBufferSize - sizeof(uint32_t)) / 2 - 1;
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

// Streams a (/proc) file of unknown size into the dump.
md::Location AppendFile(DumpFile& out, Scratch& scratch, const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const uint32_t rva = out.Reserve(0);
    for (;;) {
        const ssize_t got = read(fd, scratch.buffer, kBufferSize);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.Extend(scratch.buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (out.End() == rva) return {};
    return {out.End() - rva, rva};
}

// ---- The process's memory map ----

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

// /proc/self/maps lines: "start-end perms offset dev inode   path".
void ReadMaps(Scratch& scratch) {
    scratch.mapsLength = ReadFile("/proc/self/maps", scratch.maps, kMapsCapacity);
    // A map too long for the buffer keeps its whole lines only.
    if (scratch.mapsLength == kMapsCapacity) {
        while (scratch.mapsLength > 0 && scratch.maps[scratch.mapsLength - 1] != '\n') --scratch.mapsLength;
    }
    scratch.mappingCount = 0;
    const char* p = scratch.maps;
    const char* const end = scratch.maps + scratch.mapsLength;
    while (p < end && scratch.mappingCount < kMaxMappings) {
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
        mapping.pathOffset = static_cast<uint32_t>(p - scratch.maps);
        mapping.pathLength = static_cast<uint32_t>(lineEnd - p);
        if (mapping.end > mapping.start) scratch.mappings[scratch.mappingCount++] = mapping;
        p = lineEnd + 1;
    }
}

const Mapping* FindReadableMapping(const Scratch& scratch, uint64_t address) {
    for (size_t i = 0; i < scratch.mappingCount; ++i) {
        const Mapping& mapping = scratch.mappings[i];
        if (address >= mapping.start && address < mapping.end) return mapping.readable ? &mapping : nullptr;
    }
    return nullptr;
}

const char* PathOf(const Scratch& scratch, const Mapping& mapping) {
    return scratch.maps + mapping.pathOffset;
}

bool SamePath(const Scratch& scratch, const Mapping& a, const Mapping& b) {
    return a.pathLength == b.pathLength &&
           std::memcmp(PathOf(scratch, a), PathOf(scratch, b), a.pathLength) == 0;
}

// ---- Reading the process's own memory without faulting ----

// Only touches ranges /proc/self/maps lists as readable. Plain loads, hidden from ASan, whose shadow memory
// would flag stack red zones.
__attribute__((no_sanitize_address)) bool CopyMappedMemory(const Scratch& scratch, uint64_t address,
                                                           void* out, size_t size) {
    const Mapping* mapping = FindReadableMapping(scratch, address);
    if (mapping == nullptr || size > mapping->end - address) return false;
    const auto* from = reinterpret_cast<const volatile unsigned char*>(address);
    auto* to = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < size; ++i) to[i] = from[i];
    return true;
}

// process_vm_readv on ourselves returns EFAULT instead of faulting; where a seccomp policy forbids it, fall
// back to copying ranges the memory map says are readable.
bool ReadMemory(Scratch& scratch, uint64_t address, void* out, size_t size) {
    if (size == 0) return true;
    if (!scratch.vmReadvUnavailable) {
        iovec local{out, size};
        iovec remote{reinterpret_cast<void*>(address), size};
        const long got = syscall(SYS_process_vm_readv, getpid(), &local, 1, &remote, 1, 0);
        if (got == static_cast<long>(size)) return true;
        if (got >= 0 || errno == EFAULT) return false;
        scratch.vmReadvUnavailable = true;
    }
    return CopyMappedMemory(scratch, address, out, size);
}

// ---- Streams ----

void FillContext(md::ContextAmd64& context, const ucontext_t& ucontext) {
    std::memset(&context, 0, sizeof(context));
    const greg_t* gregs = ucontext.uc_mcontext.gregs;
    auto reg = [gregs](int index) { return static_cast<uint64_t>(gregs[index]); };
    context.contextFlags = md::kContextControl | md::kContextInteger | md::kContextSegments;
    context.rax = reg(REG_RAX);
    context.rcx = reg(REG_RCX);
    context.rdx = reg(REG_RDX);
    context.rbx = reg(REG_RBX);
    context.rsp = reg(REG_RSP);
    context.rbp = reg(REG_RBP);
    context.rsi = reg(REG_RSI);
    context.rdi = reg(REG_RDI);
    context.r8 = reg(REG_R8);
    context.r9 = reg(REG_R9);
    context.r10 = reg(REG_R10);
    context.r11 = reg(REG_R11);
    context.r12 = reg(REG_R12);
    context.r13 = reg(REG_R13);
    context.r14 = reg(REG_R14);
    context.r15 = reg(REG_R15);
    context.rip = reg(REG_RIP);
    context.eflags = static_cast<uint32_t>(reg(REG_EFL));
    // cs, gs, fs and (on kernels that save it) ss, 16 bits each.
    const uint64_t segments = reg(REG_CSGSFS);
    context.segCs = static_cast<uint16_t>(segments);
    context.segGs = static_cast<uint16_t>(segments >> 16);
    context.segFs = static_cast<uint16_t>(segments >> 32);
    context.segSs = static_cast<uint16_t>(segments >> 48);
    if (const _libc_fpstate* fpu = ucontext.uc_mcontext.fpregs) {
        static_assert(sizeof(*fpu) == sizeof(context.fxsave));
        std::memcpy(context.fxsave, fpu, sizeof(context.fxsave));
        context.mxCsr = fpu->mxcsr;
        context.contextFlags |= md::kContextFloatingPoint;
    }
}

// The stack from just below the stack pointer up to the top of its mapping, at most kMaxStackBytes.
md::MemoryDescriptor WriteStack(DumpFile& out, Scratch& scratch, uint64_t sp) {
    const uint64_t from = sp > kRedZone ? sp - kRedZone : sp;
    const Mapping* stack = FindReadableMapping(scratch, from);
    if (stack == nullptr) stack = FindReadableMapping(scratch, sp);
    if (stack == nullptr) {
        // Overflowed: the stack pointer sits in the guard area; the stack is the mapping just above it.
        for (size_t i = 0; i < scratch.mappingCount && stack == nullptr; ++i) {
            const Mapping& mapping = scratch.mappings[i];
            if (mapping.readable && mapping.start > sp && mapping.start - sp <= kMaxGuardGap)
                stack = &mapping;
        }
    }
    if (stack == nullptr) return {};
    const uint64_t start = std::max(from, stack->start);
    const size_t size = static_cast<size_t>(std::min<uint64_t>(stack->end - start, kMaxStackBytes));
    if (!ReadMemory(scratch, start, scratch.buffer, size)) return {};
    return {start, out.Append(scratch.buffer, size)};
}

md::Location WriteThreadList(DumpFile& out, const Crash& crash, md::MemoryDescriptor stack,
                             md::Location context) {
    md::Thread thread{};
    thread.threadId = static_cast<uint32_t>(crash.tid);
    thread.stack = stack;
    thread.threadContext = context;
    return out.AppendList(&thread, 1, sizeof(thread));
}

bool IsFaultSignal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
}

md::Location WriteException(DumpFile& out, const Crash& crash, md::Location context) {
    md::ExceptionStream exception{};
    exception.threadId = static_cast<uint32_t>(crash.tid);
    exception.record.exceptionCode = static_cast<uint32_t>(crash.signal);
    if (crash.info != nullptr) {
        exception.record.exceptionFlags = static_cast<uint32_t>(crash.info->si_code);
        // si_addr only means something for faults; for SIGABRT the same bytes hold the sender's pid.
        if (IsFaultSignal(crash.signal))
            exception.record.exceptionAddress = reinterpret_cast<uint64_t>(crash.info->si_addr);
    }
    exception.threadContext = context;
    return out.Append(&exception, sizeof(exception));
}

md::Location WriteMemoryList(DumpFile& out, md::MemoryDescriptor stack) {
    const uint32_t count = stack.memory.dataSize > 0 ? 1 : 0;
    return out.AppendList(&stack, count, sizeof(stack));
}

// The GNU build id from the PT_NOTE segments of the ELF image whose header is mapped at base.
size_t ReadBuildId(Scratch& scratch, uint64_t base, unsigned char* id) {
    Elf64_Ehdr header;
    if (!ReadMemory(scratch, base, &header, sizeof(header))) return 0;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
        header.e_phnum > kMaxProgramHeaders)
        return 0;
    Elf64_Phdr* const phdrs = scratch.programHeaders;
    if (!ReadMemory(scratch, base + header.e_phoff, phdrs, header.e_phnum * sizeof(Elf64_Phdr))) return 0;
    // The first PT_LOAD holds the ELF header, so it tells how far the image was moved from its link address.
    uint64_t loadBias = base;
    for (size_t i = 0; i < header.e_phnum; ++i) {
        if (phdrs[i].p_type != PT_LOAD) continue;
        loadBias = base - (phdrs[i].p_vaddr - phdrs[i].p_offset);
        break;
    }
    for (size_t i = 0; i < header.e_phnum; ++i) {
        if (phdrs[i].p_type != PT_NOTE) continue;
        const size_t size = static_cast<size_t>(std::min<uint64_t>(phdrs[i].p_filesz, kBufferSize));
        if (!ReadMemory(scratch, loadBias + phdrs[i].p_vaddr, scratch.buffer, size)) continue;
        size_t pos = 0;
        while (pos + sizeof(Elf64_Nhdr) <= size) {
            Elf64_Nhdr note;
            std::memcpy(&note, scratch.buffer + pos, sizeof(note));
            const size_t name = pos + sizeof(note);
            const size_t desc = name + AlignUp(note.n_namesz, 4);
            const size_t next = desc + AlignUp(note.n_descsz, 4);
            if (next > size) break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(scratch.buffer + name, "GNU", 4) == 0) {
                const size_t length = std::min<size_t>(note.n_descsz, kMaxBuildIdBytes);
                std::memcpy(id, scratch.buffer + desc, length);
                return length;
            }
            pos = next;
        }
    }
    return 0;
}

md::Location WriteCodeViewRecord(DumpFile& out, Scratch& scratch, uint64_t base) {
    unsigned char id[kMaxBuildIdBytes];
    const size_t length = ReadBuildId(scratch, base, id);
    if (length == 0) return {};
    std::memcpy(scratch.buffer, &md::kCodeViewElfSignature, sizeof(md::kCodeViewElfSignature));
    std::memcpy(scratch.buffer + sizeof(md::kCodeViewElfSignature), id, length);
    return out.Append(scratch.buffer, sizeof(md::kCodeViewElfSignature) + length);
}

bool IsElfImageStart(Scratch& scratch, const Mapping& mapping) {
    if (mapping.offset != 0 || !mapping.readable || mapping.pathLength == 0) return false;
    if (PathOf(scratch, mapping)[0] != '/') return false;  // [stack], [vdso], anonymous memory
    unsigned char magic[SELFMAG];
    return ReadMemory(scratch, mapping.start, magic, sizeof(magic)) &&
           std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

// One module per mapped ELF file: from its header mapping to the end of the file's last consecutive mapping.
md::Location WriteModuleList(DumpFile& out, Scratch& scratch) {
    uint32_t count = 0;
    size_t i = 0;
    while (i < scratch.mappingCount && count < kMaxModules) {
        const Mapping& first = scratch.mappings[i];
        size_t next = i + 1;
        while (next < scratch.mappingCount && scratch.mappings[next].offset != 0 &&
               SamePath(scratch, scratch.mappings[next], first))
            ++next;
        if (IsElfImageStart(scratch, first)) {
            md::Module& module = scratch.modules[count++];
            std::memset(&module, 0, sizeof(module));
            module.baseOfImage = first.start;
            module.sizeOfImage = static_cast<uint32_t>(
                std::min<uint64_t>(scratch.mappings[next - 1].end - first.start, UINT32_MAX));
            module.moduleNameRva = AppendString(out, scratch, PathOf(scratch, first), first.pathLength).rva;
            module.cvRecord = WriteCodeViewRecord(out, scratch, first.start);
        }
        i = next;
    }
    return out.AppendList(scratch.modules, count, sizeof(md::Module));
}

md::Location WriteSystemInfo(DumpFile& out, Scratch& scratch) {
    md::SystemInfo info = scratch.systemInfo;
    info.csdVersionRva = AppendString(out, scratch, scratch.osVersion, StringLength(scratch.osVersion)).rva;
    return out.Append(&info, sizeof(info));
}

md::Location WriteMiscInfo(DumpFile& out, const Crash& crash) {
    md::MiscInfo info{};
    info.sizeOfInfo = sizeof(info);
    info.flags1 = md::kMiscInfoHasProcessId;
    info.processId = static_cast<uint32_t>(crash.pid);
    return out.Append(&info, sizeof(info));
}

struct StreamDirectory {
    md::Directory entries[kMaxStreams];
    uint32_t count = 0;

    void Add(md::StreamType type, md::Location location) {
        if (count < kMaxStreams) entries[count++] = {type, location};
    }
};

void WriteDump(int fd, Scratch& scratch, const Crash& crash) {
    ReadMaps(scratch);
    DumpFile out(fd);
    const uint32_t directoryRva = sizeof(md::Header);
    out.Reserve(sizeof(md::Header) + kMaxStreams * sizeof(md::Directory));

    FillContext(scratch.context, *crash.context);
    const md::Location context = out.Append(&scratch.context, sizeof(scratch.context));
    const md::MemoryDescriptor stack = WriteStack(out, scratch, scratch.context.rsp);

    StreamDirectory streams;
    streams.Add(md::kThreadListStream, WriteThreadList(out, crash, stack, context));
    streams.Add(md::kExceptionStream, WriteException(out, crash, context));
    streams.Add(md::kMemoryListStream, WriteMemoryList(out, stack));
    streams.Add(md::kModuleListStream, WriteModuleList(out, scratch));
    streams.Add(md::kSystemInfoStream, WriteSystemInfo(out, scratch));
    streams.Add(md::kMiscInfoStream, WriteMiscInfo(out, crash));
    streams.Add(md::kLinuxProcStatusStream, AppendFile(out, scratch, "/proc/self/status"));
    streams.Add(md::kLinuxCpuInfoStream, AppendFile(out, scratch, "/proc/cpuinfo"));
    streams.Add(md::kLinuxCmdLineStream, AppendFile(out, scratch, "/proc/self/cmdline"));
    streams.Add(md::kLinuxAuxvStream, AppendFile(out, scratch, "/proc/self/auxv"));
    streams.Add(md::kLinuxMapsStream, out.Append(scratch.maps, scratch.mapsLength));

    // The header goes in last: a dump cut short by a second fault has no valid signature rather than
    // pointing at data that was never written.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    md::Header header{};
    header.signature = md::kSignature;
    header.version = md::kVersion;
    header.numberOfStreams = streams.count;
    header.streamDirectoryRva = directoryRva;
    header.timeDateStamp = static_cast<uint32_t>(now.tv_sec);
    out.WriteAt(directoryRva, streams.entries, streams.count * sizeof(md::Directory));
    out.WriteAt(0, &header, sizeof(header));
}

// ---- The handler ----

[[noreturn]] void DieBySignal(int signal) {
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    syscall(SYS_tgkill, getpid(), CurrentThreadId(), signal);
    // The signal is blocked while its handler runs; letting it through ends the process right here.
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    _exit(128 + signal);
}

// Another thread is writing the dump and will end the process; give up only if it never does.
void WaitForOtherDump() {
    for (int i = 0; i < 3000 && g_dumpingThread.load() != 0; ++i) {
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

void OnCrashSignal(int signal, siginfo_t* info, void* context) {
    const pid_t tid = CurrentThreadId();
    pid_t idle = 0;
    if (!g_dumpingThread.compare_exchange_strong(idle, tid)) {
        if (idle != tid) {
            WaitForOtherDump();
            DieBySignal(signal);
        }
        // Writing the dump faulted: give up on it and end by the original crash's signal.
        const int original = g_dumpSignal.load();
        DieBySignal(original != 0 ? original : signal);
    }
    g_dumpSignal.store(signal);
    Scratch* scratch = g_scratch.load(std::memory_order_acquire);
    if (scratch != nullptr && context != nullptr) {
        // O_NOFOLLOW: a planted symlink must not redirect the dump onto another file. O_NONBLOCK: a FIFO in
        // its place must not block the crashing process for ever.
        const int fd =
            open(kDumpFileName, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        struct stat file {};
        if (fd >= 0 && fstat(fd, &file) == 0 && S_ISREG(file.st_mode)) {
            const Crash crash{signal, info, static_cast<const ucontext_t*>(context), getpid(), tid};
            WriteDump(fd, *scratch, crash);
        }
        if (fd >= 0) close(fd);
    }
    DieBySignal(signal);
}

// ---- Preparation (ordinary code, runs before any crash) ----

void PrepareSystemInfo(Scratch& scratch) {
    md::SystemInfo& info = scratch.systemInfo;
    info.processorArchitecture = md::kArchitectureAmd64;
    info.platformId = md::kPlatformLinux;
    info.numberOfProcessors = static_cast<uint8_t>(std::clamp(sysconf(_SC_NPROCESSORS_CONF), 1L, 255L));

    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
        info.cpuVendorId[0] = ebx;  // "Genu" "ineI" "ntel": the vendor string reads ebx, edx, ecx
        info.cpuVendorId[1] = edx;
        info.cpuVendorId[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        info.cpuVersionInformation = eax;
        info.cpuFeatureInformation = edx;
        unsigned family = (eax >> 8) & 0xf;
        unsigned model = (eax >> 4) & 0xf;
        if (family == 0xf) family += (eax >> 20) & 0xff;
        if (family == 0x6 || family >= 0xf) model += ((eax >> 16) & 0xf) << 4;
        info.processorLevel = static_cast<uint16_t>(family);
        info.processorRevision = static_cast<uint16_t>(model << 8 | (eax & 0xf));
    }

    utsname names{};
    if (uname(&names) == 0) {
        // "6.1.0-18-amd64" gives 6, 1 and 0.
        uint32_t parts[3] = {};
        const char* p = names.release;
        for (uint32_t& part : parts) {
            while (*p >= '0' && *p <= '9') part = part * 10 + static_cast<uint32_t>(*p++ - '0');
            if (*p != '.') break;
            ++p;
        }
        info.majorVersion = parts[0];
        info.minorVersion = parts[1];
        info.buildNumber = parts[2];
        const char* const fields[] = {names.sysname, names.release, names.version, names.machine};
        size_t length = 0;
        for (const char* field : fields) {
            for (const char* c = field; *c != '\0' && length + 2 < sizeof(scratch.osVersion); ++c)
                scratch.osVersion[length++] = *c;
            scratch.osVersion[length++] = ' ';
        }
        scratch.osVersion[length - 1] = '\0';
    }
}

size_t AltStackSize() {
    const long minimum = sysconf(_SC_MINSIGSTKSZ);
    const long page = sysconf(_SC_PAGESIZE);
    const size_t size =
        std::max<size_t>(kMinAltStackSize, minimum > 0 ? 4 * static_cast<size_t>(minimum) : 0);
    return AlignUp(size, static_cast<size_t>(page));
}

// Mapped, not allocated, with a guard page below so a handler that overruns it faults instead of
// corrupting the memory underneath.
void* MapAltStack(size_t size) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* base =
        mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    mprotect(base, page, PROT_NONE);
    return static_cast<char*>(base) + page;
}

void UnmapAltStack(void* stack, size_t size) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    munmap(static_cast<char*>(stack) - page, size + page);
}

bool HasAltStackOf(size_t size, stack_t* current) {
    return sigaltstack(nullptr, current) == 0 && (current->ss_flags & SS_DISABLE) == 0 &&
           current->ss_size >= size;
}

void InstallHandlers() {
    struct sigaction action {};
    action.sa_sigaction = OnCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kCrashSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

void Install() {
    static std::once_flag once;
    std::call_once(once, [] {
        void* memory =
            mmap(nullptr, sizeof(Scratch), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        auto* scratch = static_cast<Scratch*>(memory);
        PrepareSystemInfo(*scratch);
        g_scratch.store(scratch, std::memory_order_release);
        InstallHandlers();
    });

    const size_t size = AltStackSize();
    stack_t current{};
    if (HasAltStackOf(size, &current)) return;
    // Kept for the rest of the thread's life, which for the main thread is the process's.
    if (void* stack = MapAltStack(size)) {
        stack_t mine{};
        mine.ss_sp = stack;
        mine.ss_size = size;
        if (sigaltstack(&mine, nullptr) != 0) UnmapAltStack(stack, size);
    }
}

ThreadGuard::ThreadGuard() {
    const size_t size = AltStackSize();
    stack_t current{};
    if (HasAltStackOf(size, &current)) return;
    void* stack = MapAltStack(size);
    if (stack == nullptr) return;
    stack_t mine{};
    mine.ss_sp = stack;
    mine.ss_size = size;
    if (sigaltstack(&mine, nullptr) != 0) {
        UnmapAltStack(stack, size);
        return;
    }
    m_stack = stack;
    m_size = size;
    if ((current.ss_flags & SS_DISABLE) == 0) {
        m_previous = current.ss_sp;
        m_previousSize = current.ss_size;
    }
}

ThreadGuard::~ThreadGuard() {
    if (m_stack == nullptr) return;
    stack_t previous{};
    if (m_previous != nullptr) {
        previous.ss_sp = m_previous;
        previous.ss_size = m_previousSize;
    } else {
        previous.ss_flags = SS_DISABLE;
    }
    if (sigaltstack(&previous, nullptr) == 0) UnmapAltStack(m_stack, m_size);
}

}  // namespace crashdump
