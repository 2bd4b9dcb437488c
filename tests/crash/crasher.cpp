// Installs the crash-dump writer, then crashes the way argv[1] names. crash_dump_test runs it and reads the
// dump. The crashing functions carry distinctive names for the test to find in a debugger's backtrace.
//
// Usage: tessiv-crasher MODE [OPTION...]
//   no-vm-readv: forbid process_vm_readv with seccomp first, as some container policies do.
//   truncated-mapping: map a file in the current directory, then cut it short, so reading the mapping
//     faults with SIGBUS although /proc/self/maps lists it as readable.

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "crash/crash_dump.h"

volatile bool g_keepRecursing = true;

// Under the sanitizer build, UBSan would report these deliberate faults and exit instead of faulting.
#define TESSIV_REALLY_FAULT __attribute__((noinline, no_sanitize("undefined")))
std::atomic<int> g_threadsReady{0};

extern "C" {

TESSIV_REALLY_FAULT void TessivCrashMainNullWrite() {
    volatile int* volatile target = nullptr;
    *target = 42;
}

TESSIV_REALLY_FAULT void TessivCrashWorkerNullWrite() {
    volatile int* volatile target = nullptr;
    *target = 7;
}

[[gnu::noinline]] void TessivCrashAbort() {
    std::abort();
}

TESSIV_REALLY_FAULT int TessivCrashDivideByZero() {
    volatile int zero = 0;
    volatile int quotient = 100 / zero;
    return quotient;
}

[[gnu::noinline]] int TessivCrashRecurseForever(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (!g_keepRecursing) return frame[0];
    // Adding after the call keeps it from becoming a loop.
    return TessivCrashRecurseForever(depth + 1) + frame[0];
}

}  // extern "C"

// C++ linkage on purpose: a demangled name in the backtrace.
[[gnu::noinline]] void TessivCrashThrowUncaught() {
    throw std::runtime_error("nobody catches this");
}

namespace {

void ForbidProcessVmReadv() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("seccomp");
        std::exit(2);
    }
}

void MapTruncatedFile() {
    char name[] = "mapped-XXXXXX";
    const int fd = mkstemp(name);
    const std::string page(8192, 'x');
    if (fd < 0 || write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size()) ||
        mmap(nullptr, page.size(), PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED || ftruncate(fd, 0) != 0) {
        std::perror("truncated mapping");
        std::exit(2);
    }
}

void OnGuardedWorker(void (*crash)()) {
    std::thread worker([crash] {
        crashdump::ThreadGuard guard;
        crash();
    });
    worker.join();
}

// Two workers crash together, with different signals: only one dump may be written, and the process must
// end by the signal of the thread that wrote it.
void CrashTwoWorkersAtOnce() {
    auto race = [](void (*crash)()) {
        crashdump::ThreadGuard guard;
        g_threadsReady.fetch_add(1);
        while (g_threadsReady.load() < 2) {
        }
        crash();
    };
    std::thread first(race, [] { TessivCrashWorkerNullWrite(); });
    std::thread second(race, [] { TessivCrashDivideByZero(); });
    first.join();
    second.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODE [no-vm-readv] [truncated-mapping]\n", argv[0]);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "no-vm-readv") ForbidProcessVmReadv();
        if (option == "truncated-mapping") MapTruncatedFile();
    }

    crashdump::Install();
    crashdump::Install();  // a second call must change nothing

    const std::string_view mode = argv[1];
    if (mode == "segv-main") TessivCrashMainNullWrite();
    if (mode == "segv-worker") OnGuardedWorker(TessivCrashWorkerNullWrite);
    if (mode == "abort") TessivCrashAbort();
    if (mode == "throw") TessivCrashThrowUncaught();
    if (mode == "fpe") TessivCrashDivideByZero();
    if (mode == "overflow-main") TessivCrashRecurseForever(0);
    if (mode == "overflow-worker") OnGuardedWorker([] { TessivCrashRecurseForever(0); });
    if (mode == "two-workers") CrashTwoWorkersAtOnce();

    std::fprintf(stderr, "still alive after mode '%s'\n", argv[1]);
    return 3;
}
