#include "crash/dump_writer.h"

#include <cpuid.h>
#include <elf.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/dump_file.h"
#include "crash/minidump_format.h"
#include "crash/self_memory.h"
#include "crash/signal_safe.h"

// Everything reachable from WriteDump runs inside the signal handler and must stay async-signal-safe: raw
// system calls, the Scratch memory prepared by PrepareScratch(), no allocation, no stdio, no locks, no
// exceptions.

namespace crashdump {

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

struct Scratch {
    // Filled by PrepareScratch().
    md::SystemInfo systemInfo;
    char osVersion[512];

    // Filled by the handler.
    SelfMemory memory;
    md::Module modules[kMaxModules];
    md::ContextAmd64 context;
    Elf64_Phdr programHeaders[kMaxProgramHeaders];
    alignas(16) unsigned char buffer[kBufferSize];
};

namespace {

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
    const Mapping* stack = FindReadableMapping(scratch.memory, from);
    if (stack == nullptr) stack = FindReadableMapping(scratch.memory, sp);
    if (stack == nullptr) {
        // Overflowed: the stack pointer sits in the guard area; the stack is the mapping just above it.
        for (size_t i = 0; i < scratch.memory.mappingCount && stack == nullptr; ++i) {
            const Mapping& mapping = scratch.memory.mappings[i];
            if (mapping.readable && mapping.start > sp && mapping.start - sp <= kMaxGuardGap)
                stack = &mapping;
        }
    }
    if (stack == nullptr) return {};
    const uint64_t start = std::max(from, stack->start);
    const size_t size = static_cast<size_t>(std::min<uint64_t>(stack->end - start, kMaxStackBytes));
    if (!ReadMemory(scratch.memory, start, scratch.buffer, size)) return {};
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
    if (!ReadMemory(scratch.memory, base, &header, sizeof(header))) return 0;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
        header.e_phnum > kMaxProgramHeaders)
        return 0;
    Elf64_Phdr* const phdrs = scratch.programHeaders;
    if (!ReadMemory(scratch.memory, base + header.e_phoff, phdrs, header.e_phnum * sizeof(Elf64_Phdr)))
        return 0;
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
        if (!ReadMemory(scratch.memory, loadBias + phdrs[i].p_vaddr, scratch.buffer, size)) continue;
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
    if (PathOf(scratch.memory, mapping)[0] != '/') return false;  // [stack], [vdso], anonymous memory
    unsigned char magic[SELFMAG];
    return ReadMemory(scratch.memory, mapping.start, magic, sizeof(magic)) &&
           std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

// One module per mapped ELF file: from its header mapping to the end of the file's last consecutive mapping.
md::Location WriteModuleList(DumpFile& out, Scratch& scratch) {
    uint32_t count = 0;
    size_t i = 0;
    while (i < scratch.memory.mappingCount && count < kMaxModules) {
        const Mapping& first = scratch.memory.mappings[i];
        size_t next = i + 1;
        while (next < scratch.memory.mappingCount && scratch.memory.mappings[next].offset != 0 &&
               SamePath(scratch.memory, scratch.memory.mappings[next], first))
            ++next;
        if (IsElfImageStart(scratch, first)) {
            md::Module& module = scratch.modules[count++];
            std::memset(&module, 0, sizeof(module));
            module.baseOfImage = first.start;
            module.sizeOfImage = static_cast<uint32_t>(
                std::min<uint64_t>(scratch.memory.mappings[next - 1].end - first.start, UINT32_MAX));
            module.moduleNameRva =
                AppendString(out, scratch.buffer, PathOf(scratch.memory, first), first.pathLength).rva;
            module.cvRecord = WriteCodeViewRecord(out, scratch, first.start);
        }
        i = next;
    }
    return out.AppendList(scratch.modules, count, sizeof(md::Module));
}

md::Location WriteSystemInfo(DumpFile& out, Scratch& scratch) {
    md::SystemInfo info = scratch.systemInfo;
    info.csdVersionRva =
        AppendString(out, scratch.buffer, scratch.osVersion, StringLength(scratch.osVersion)).rva;
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

}  // namespace

void WriteDump(int fd, Scratch& scratch, const Crash& crash) {
    ReadMaps(scratch.memory);
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
    streams.Add(md::kLinuxProcStatusStream, AppendFile(out, scratch.buffer, "/proc/self/status"));
    streams.Add(md::kLinuxCpuInfoStream, AppendFile(out, scratch.buffer, "/proc/cpuinfo"));
    streams.Add(md::kLinuxCmdLineStream, AppendFile(out, scratch.buffer, "/proc/self/cmdline"));
    streams.Add(md::kLinuxAuxvStream, AppendFile(out, scratch.buffer, "/proc/self/auxv"));
    streams.Add(md::kLinuxMapsStream, out.Append(scratch.memory.maps, scratch.memory.mapsLength));

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

// ---- Preparation (ordinary code, runs before any crash) ----

namespace {

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

}  // namespace

Scratch* PrepareScratch() {
    void* memory = mmap(nullptr, sizeof(Scratch), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    auto* scratch = static_cast<Scratch*>(memory);
    PrepareSystemInfo(*scratch);
    return scratch;
}

}  // namespace crashdump
