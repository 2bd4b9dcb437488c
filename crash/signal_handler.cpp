#include "crash/crash_dump.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "crash/alt_stack.h"
#include "crash/dump_writer.h"
#include "crash/signal_safe.h"

// The crash signal handler: one thread claims the dump and writes it, and the process then ends by the
// signal that started it. OnCrashSignal and everything it calls run inside a signal handler and must stay
// async-signal-safe: raw system calls, memory prepared by Install(), no allocation, no stdio, no locks, no
// exceptions.

namespace crashdump {
namespace {

constexpr char kDumpFileName[] = "DumpFile.dmp";
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

std::atomic<Scratch*> g_scratch{nullptr};
// The thread writing the dump; 0 while nobody is.
std::atomic<pid_t> g_dumpingThread{0};
// The signal that started the dump: the process ends by it even if writing the dump faults.
std::atomic<int> g_dumpSignal{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);
static_assert(std::atomic<Scratch*>::is_always_lock_free);

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

// Async-signal-safe, as is everything it calls; runs on the thread's alternate stack.
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

// ---- Installation (ordinary code, runs before any crash) ----

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
        Scratch* scratch = PrepareScratch();
        if (scratch == nullptr) return;
        g_scratch.store(scratch, std::memory_order_release);
        InstallHandlers();
    });
    KeepAltStackForThread();
}

}  // namespace crashdump
