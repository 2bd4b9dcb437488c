#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/crash/minidump_reader.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const char* const kCrasher = TESSIV_CRASHER;
constexpr char kDumpName[] = "DumpFile.dmp";

struct CrasherRun {
    pid_t pid = 0;
    int signal = 0;  // the signal that ended it, 0 for an exit
    std::string described;
};

// Runs the crasher with dir as its current directory; its output lands in dir/crasher.log.
CrasherRun RunCrasher(const fs::path& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{kCrasher};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess crasher(argv, {.workingDirectory = dir,
                                .stdoutFile = dir / "crasher.log",
                                .stderrFile = dir / "crasher.log",
                                .noCoreDump = true});
    if (!crasher.WaitEnd(std::chrono::seconds(30))) {
        crasher.Kill();  // a hung crasher ends by SIGKILL and fails the signal check
        return {crasher.Pid(), crasher.TermSignal(), "hung"};
    }
    return {crasher.Pid(), crasher.TermSignal(), crasher.Describe()};
}

::testing::AssertionResult DiedBy(const CrasherRun& run, int signal) {
    if (run.signal == signal) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected SIG" << sigabbrev_np(signal) << ", crasher " << run.described;
}

std::optional<minidump::Dump> LoadDump(const fs::path& file) {
    try {
        return minidump::Parse(ReadFileBytes(file));
    } catch (const std::exception& error) {
        ADD_FAILURE() << file << ": " << error.what();
        return std::nullopt;
    }
}

// The GNU build id of an ELF file on disk.
std::string BuildIdOfFile(const fs::path& file) {
    const std::string elf = ReadFileBytes(file);
    Elf64_Ehdr header;
    if (elf.size() < sizeof(header)) return {};
    std::memcpy(&header, elf.data(), sizeof(header));
    for (size_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr phdr;
        std::memcpy(&phdr, elf.data() + header.e_phoff + i * sizeof(phdr), sizeof(phdr));
        if (phdr.p_type != PT_NOTE) continue;
        for (size_t pos = phdr.p_offset; pos + sizeof(Elf64_Nhdr) <= phdr.p_offset + phdr.p_filesz;) {
            Elf64_Nhdr note;
            std::memcpy(&note, elf.data() + pos, sizeof(note));
            const size_t name = pos + sizeof(note);
            const size_t desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && elf.compare(name, 4, std::string("GNU\0", 4)) == 0)
                return elf.substr(desc, note.n_descsz);
            pos = desc + ((note.n_descsz + 3) & ~3u);
        }
    }
    return {};
}

const fs::path& CrasherPath() {
    static const fs::path path = fs::canonical(kCrasher);
    return path;
}

enum class Fault { NullWrite, DivideByZero, Abort, StackOverflow };

struct CrashKind {
    const char* name;
    std::vector<std::string> args;
    int signal;
    const char* function;  // as a backtrace names it
    const char* outerFrame;
    bool onWorker;
    Fault fault;
};

void PrintTo(const CrashKind& kind, std::ostream* out) {
    *out << kind.name;
}

// outerFrame: a frame the backtrace must reach, showing that enough stack was saved; none for an overflow,
// whose outer frames lie beyond the saved part.
const CrashKind kCrashKinds[] = {
    {"MainNullWrite", {"segv-main"}, SIGSEGV, "TessivCrashMainNullWrite", "`main", false, Fault::NullWrite},
    {"WorkerNullWrite",
     {"segv-worker"},
     SIGSEGV,
     "TessivCrashWorkerNullWrite",
     "start_thread",
     true,
     Fault::NullWrite},
    {"Abort", {"abort"}, SIGABRT, "TessivCrashAbort", "`main", false, Fault::Abort},
    {"UncaughtException", {"throw"}, SIGABRT, "TessivCrashThrowUncaught", "`main", false, Fault::Abort},
    {"DivideByZero", {"fpe"}, SIGFPE, "TessivCrashDivideByZero", "`main", false, Fault::DivideByZero},
    {"MainStackOverflow",
     {"overflow-main"},
     SIGSEGV,
     "TessivCrashRecurseForever",
     nullptr,
     false,
     Fault::StackOverflow},
    {"WorkerStackOverflow",
     {"overflow-worker"},
     SIGSEGV,
     "TessivCrashRecurseForever",
     nullptr,
     true,
     Fault::StackOverflow},
    // The fallback for systems whose seccomp policy forbids process_vm_readv.
    {"WorkerNullWriteWithoutVmReadv",
     {"segv-worker", "no-vm-readv"},
     SIGSEGV,
     "TessivCrashWorkerNullWrite",
     "start_thread",
     true,
     Fault::NullWrite},
    {"WorkerStackOverflowWithoutVmReadv",
     {"overflow-worker", "no-vm-readv"},
     SIGSEGV,
     "TessivCrashRecurseForever",
     nullptr,
     true,
     Fault::StackOverflow},
};

// The checks that hold for every dump, whatever the crash.
void ExpectWellFormed(const minidump::Dump& dump, size_t fileSize) {
    EXPECT_EQ(dump.signature, 0x504d444du);
    EXPECT_EQ(dump.version & 0xffff, 0xa793u);
    for (uint32_t type :
         {minidump::kThreadList, minidump::kModuleList, minidump::kMemoryList, minidump::kException,
          minidump::kSystemInfo, minidump::kMiscInfo, minidump::kLinuxProcStatus, minidump::kLinuxMaps})
        EXPECT_TRUE(dump.streams.count(type)) << "no stream of type 0x" << std::hex << type;
    // Nothing left over from an older, longer file.
    EXPECT_EQ(dump.furthestByte, fileSize);

    ASSERT_TRUE(dump.systemInfo);
    EXPECT_EQ(dump.systemInfo->architecture, 9);
    EXPECT_EQ(dump.systemInfo->platformId, 0x8201u);
    EXPECT_GE(dump.systemInfo->processors, 1);
    EXPECT_EQ(dump.systemInfo->osVersion.rfind("Linux ", 0), 0u) << dump.systemInfo->osVersion;
}

void ExpectProcess(const minidump::Dump& dump, pid_t pid) {
    EXPECT_EQ(dump.processId, static_cast<uint32_t>(pid));
    EXPECT_NE(dump.streams.at(minidump::kLinuxProcStatus).find("\nPid:\t" + std::to_string(pid) + "\n"),
              std::string::npos);
    EXPECT_NE(dump.streams.at(minidump::kLinuxMaps).find(CrasherPath().string()), std::string::npos);

    const minidump::Module* crasher = dump.FindModule(CrasherPath().string());
    ASSERT_NE(crasher, nullptr) << "the crasher is not among " << dump.modules.size() << " modules";
    EXPECT_EQ(crasher->cvSignature, minidump::kCodeViewElf);
    const std::string buildId = BuildIdOfFile(CrasherPath());
    ASSERT_FALSE(buildId.empty());
    EXPECT_EQ(crasher->buildId, buildId);
}

void ExpectCrashingThread(const minidump::Dump& dump, const CrashKind& kind, pid_t pid) {
    ASSERT_TRUE(dump.exception);
    const minidump::Exception& exception = *dump.exception;
    EXPECT_EQ(exception.code, static_cast<uint32_t>(kind.signal));
    if (kind.onWorker)
        EXPECT_NE(exception.threadId, static_cast<uint32_t>(pid));
    else
        EXPECT_EQ(exception.threadId, static_cast<uint32_t>(pid));

    const minidump::Thread* thread = dump.FindThread(exception.threadId);
    ASSERT_NE(thread, nullptr) << "the crashing thread is not in the thread list";
    EXPECT_EQ(thread->contextRva, exception.contextRva);
    const minidump::Context& context = thread->context;
    constexpr uint32_t kNeeded =
        minidump::kContextAmd64 | minidump::kContextControl | minidump::kContextInteger;
    EXPECT_EQ(context.flags & kNeeded, kNeeded);
    EXPECT_NE(context.rip, 0u);
    EXPECT_NE(dump.ModuleContaining(context.rip), nullptr) << "rip " << std::hex << context.rip;

    // The stack: in the memory list (same bytes, not a second copy) and where the registers say it is.
    ASSERT_GT(thread->stackSize, 0u);
    const minidump::MemoryRange* range = dump.RangeContaining(thread->stackStart, thread->stackSize);
    ASSERT_NE(range, nullptr) << "the stack is not in the memory list";
    EXPECT_EQ(range->rva + (thread->stackStart - range->start), thread->stackRva);
    const uint64_t stackEnd = thread->stackStart + thread->stackSize;
    EXPECT_LT(context.rsp, stackEnd);
    if (kind.fault == Fault::StackOverflow)
        EXPECT_LE(thread->stackStart - std::min(context.rsp, thread->stackStart), 64u * 1024);
    else
        EXPECT_GE(context.rsp + 128, thread->stackStart);
    EXPECT_LT(context.rbp, stackEnd);
}

// What the signal says about the fault, and that the stack bytes are the real ones.
void ExpectFaultDetails(const minidump::Dump& dump, const CrashKind& kind) {
    const minidump::Exception& exception = *dump.exception;
    const minidump::Context& context = dump.FindThread(exception.threadId)->context;
    const minidump::Module* crasher = dump.FindModule(CrasherPath().string());
    switch (kind.fault) {
        case Fault::NullWrite: {
            EXPECT_EQ(exception.flags, static_cast<uint32_t>(SEGV_MAPERR));
            EXPECT_EQ(exception.address, 0u);
            EXPECT_EQ(dump.ModuleContaining(context.rip), crasher);
            // Built with frame pointers: the caller's return address sits just above the saved rbp.
            const std::optional<std::string> returnSlot = dump.ReadMemory(context.rbp + 8, 8);
            ASSERT_TRUE(returnSlot) << "rbp " << std::hex << context.rbp << " is outside the saved stack";
            uint64_t returnAddress = 0;
            std::memcpy(&returnAddress, returnSlot->data(), 8);
            EXPECT_EQ(dump.ModuleContaining(returnAddress), crasher) << std::hex << returnAddress;
            break;
        }
        case Fault::DivideByZero:
            EXPECT_EQ(exception.flags, static_cast<uint32_t>(FPE_INTDIV));
            EXPECT_EQ(exception.address, context.rip);
            EXPECT_EQ(dump.ModuleContaining(context.rip), crasher);
            break;
        case Fault::Abort:
            EXPECT_EQ(exception.flags, static_cast<uint32_t>(SI_TKILL));
            break;
        case Fault::StackOverflow: {
            // The faulting access hit the guard area just below the stack.
            const minidump::Thread* thread = dump.FindThread(exception.threadId);
            EXPECT_LT(exception.address, thread->stackStart);
            EXPECT_LE(thread->stackStart - exception.address, 64u * 1024);
            break;
        }
    }
}

std::optional<fs::path> FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / program;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::string RunCommand(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        while (size_t got = std::fread(chunk, 1, sizeof(chunk), pipe)) output.append(chunk, got);
        pclose(pipe);
    }
    return output;
}

class CrashDumpTest : public ::testing::TestWithParam<CrashKind> {
protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // Without process_vm_readv the writer reads memory directly, and a read that faults inside the
        // handler meets ThreadSanitizer's own signal handling, which now and then loses the dump's exception
        // stream. The plain and AddressSanitizer builds run these cases.
        const std::vector<std::string>& args = GetParam().args;
        if (std::find(args.begin(), args.end(), "no-vm-readv") != args.end())
            GTEST_SKIP() << "the no-process_vm_readv fallback under ThreadSanitizer";
#endif
    }

    TempDir m_dir;
};

TEST_P(CrashDumpTest, DumpDescribesTheCrash) {
    const CrashKind& kind = GetParam();
    const CrasherRun run = RunCrasher(m_dir.path(), kind.args);
    ASSERT_TRUE(DiedBy(run, kind.signal)) << ReadFileBytes(m_dir / "crasher.log");
    ASSERT_TRUE(fs::is_regular_file(m_dir / kDumpName)) << "no dump";

    const std::optional<minidump::Dump> dump = LoadDump(m_dir / kDumpName);
    ASSERT_TRUE(dump);
    {
        SCOPED_TRACE("structure");
        ExpectWellFormed(*dump, fs::file_size(m_dir / kDumpName));
    }
    {
        SCOPED_TRACE("process");
        ExpectProcess(*dump, run.pid);
    }
    {
        SCOPED_TRACE("crashing thread");
        ExpectCrashingThread(*dump, kind, run.pid);
    }
    if (HasFatalFailure()) return;
    SCOPED_TRACE("fault");
    ExpectFaultDetails(*dump, kind);
}

TEST_P(CrashDumpTest, DebuggerShowsTheCrash) {
    const std::optional<fs::path> lldb = FindOnPath("lldb");
    if (!lldb) GTEST_SKIP() << "lldb is not installed";
    const CrashKind& kind = GetParam();
    const CrasherRun run = RunCrasher(m_dir.path(), kind.args);
    ASSERT_TRUE(DiedBy(run, kind.signal));
    const std::optional<minidump::Dump> dump = LoadDump(m_dir / kDumpName);
    ASSERT_TRUE(dump && dump->exception);
    const minidump::Thread* thread = dump->FindThread(dump->exception->threadId);
    ASSERT_NE(thread, nullptr);

    const std::string output =
        // timeout: a stuck lldb must not hang the test run.
        RunCommand("timeout 120 " + lldb->string() + " --batch -o bt -o 'register read' --core '" +
                   (m_dir / kDumpName).string() + "' '" + CrasherPath().string() + "' 2>&1");
    EXPECT_NE(output.find(std::string("stop reason = signal SIG") + sigabbrev_np(kind.signal)),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(kind.function), std::string::npos) << output;
    if (kind.outerFrame != nullptr) {
        EXPECT_NE(output.find(kind.outerFrame), std::string::npos) << output;
    } else {
        // 64 KiB of stack holds dozens of the 1 KiB recursion frames.
        size_t frames = 0;
        for (size_t at = output.find(kind.function); at != std::string::npos;
             at = output.find(kind.function, at + 1))
            ++frames;
        EXPECT_GE(frames, 20u) << output;
    }
    char rip[64];
    std::snprintf(rip, sizeof(rip), "rip = 0x%016llx", static_cast<unsigned long long>(thread->context.rip));
    EXPECT_NE(output.find(rip), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Crashes, CrashDumpTest, ::testing::ValuesIn(kCrashKinds),
                         [](const ::testing::TestParamInfo<CrashKind>& param) { return param.param.name; });

TEST(CrashDumpFileTest, ReplacesAnOlderFileCompletely) {
    TempDir dir;
    WriteFileBytes(dir / kDumpName, std::string(4 << 20, 'J'));
    // A large older file, then a dump in place of another dump.
    for (const auto& [mode, signal] : {std::pair{"fpe", SIGFPE}, std::pair{"segv-main", SIGSEGV}}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(DiedBy(RunCrasher(dir.path(), {mode}), signal));
        const std::optional<minidump::Dump> dump = LoadDump(dir / kDumpName);
        ASSERT_TRUE(dump && dump->exception);
        EXPECT_EQ(dump->exception->code, static_cast<uint32_t>(signal));
        EXPECT_EQ(dump->furthestByte, fs::file_size(dir / kDumpName))
            << "junk from the older file is left over";
    }
}

// Tests run as root, which ignores directory permissions: a directory in the dump's place makes the
// create fail for anyone.
TEST(CrashDumpFileTest, WithoutAWritableDumpFileTheProcessStillDiesBySignal) {
    for (const auto& [mode, signal] : {std::pair{"segv-worker", SIGSEGV}, std::pair{"abort", SIGABRT}}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        fs::create_directory(dir / kDumpName);
        EXPECT_TRUE(DiedBy(RunCrasher(dir.path(), {mode}), signal));
        EXPECT_TRUE(fs::is_directory(dir / kDumpName));
        EXPECT_TRUE(fs::is_empty(dir / kDumpName));
    }
}

// Opening a FIFO nobody reads would block for ever; the crash must still end the process.
TEST(CrashDumpFileTest, DoesNotHangOnAFifo) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / kDumpName).c_str(), 0600), 0);
    EXPECT_TRUE(DiedBy(RunCrasher(dir.path(), {"segv-main"}), SIGSEGV));
}

// A file mapping cut short after it was mapped is listed as readable but raises SIGBUS when read. Without
// process_vm_readv the writer reads it directly and faults inside the handler: the process must still end by
// the original signal, and the half-written file must not pass for a dump.
TEST(CrashDumpFileTest, AFaultWhileWritingStillEndsByTheOriginalSignal) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's own signal handling ends the process by the nested fault's signal";
#endif
    TempDir dir;
    EXPECT_TRUE(DiedBy(RunCrasher(dir.path(), {"segv-main", "no-vm-readv", "truncated-mapping"}), SIGSEGV))
        << ReadFileBytes(dir / "crasher.log");
    const std::string bytes = ReadFileBytes(dir / kDumpName);
    EXPECT_NE(bytes.substr(0, 4), "MDMP");
}

TEST(CrashDumpFileTest, DoesNotWriteThroughASymlink) {
    TempDir dir;
    WriteFileBytes(dir / "elsewhere", "precious");
    fs::create_symlink(dir / "elsewhere", dir / kDumpName);
    EXPECT_TRUE(DiedBy(RunCrasher(dir.path(), {"segv-main"}), SIGSEGV));
    EXPECT_EQ(ReadFileBytes(dir / "elsewhere"), "precious");
}

// Two threads fault at the same moment with different signals: one writes the dump, the other waits, and
// the process ends by the writer's signal. Repeated to give the race a chance to show.
TEST(CrashDumpFileTest, SimultaneousCrashesWriteOneConsistentDump) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        TempDir dir;
        const CrasherRun run = RunCrasher(dir.path(), {"two-workers"});
        ASSERT_NE(run.signal, 0) << run.described;
        const int signal = run.signal;
        ASSERT_TRUE(signal == SIGSEGV || signal == SIGFPE) << run.described;
        const std::optional<minidump::Dump> dump = LoadDump(dir / kDumpName);
        ASSERT_TRUE(dump && dump->exception);
        EXPECT_EQ(dump->furthestByte, fs::file_size(dir / kDumpName));
        EXPECT_EQ(dump->exception->code, static_cast<uint32_t>(signal));
        EXPECT_NE(dump->exception->threadId, static_cast<uint32_t>(run.pid));
        ASSERT_EQ(dump->threads.size(), 1u);
        EXPECT_EQ(dump->threads[0].id, dump->exception->threadId);
    }
}

}  // namespace
