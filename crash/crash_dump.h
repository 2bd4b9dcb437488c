#pragma once

#include <cstddef>

// Writes DumpFile.dmp (a Breakpad-compatible Linux minidump) into the current directory when the process
// dies of SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT on any thread, then ends the process by that signal.
// The dump holds the faulting thread (registers and up to 64 KiB of its stack), the exception record, the
// loaded ELF modules with their build ids, system and process info, and raw copies of /proc/self/maps,
// /proc/self/status, /proc/self/cmdline, /proc/self/auxv and /proc/cpuinfo. Other threads are not listed.
// Where DumpFile.dmp cannot be created, or exists as something other than a regular file (a symlink, a FIFO,
// a directory), nothing is written and the process still ends by the signal. The file is mode 0600: it holds
// raw stack memory.
namespace crashdump {

// Installs the handlers and prepares everything the handler needs. Safe to call more than once. Gives the
// calling thread an alternate signal stack (kept for the rest of the process), so call it from the main
// thread early in main().
void Install();

// Gives the current thread an alternate signal stack for as long as it lives, so a stack overflow on that
// thread still writes a dump. Create one at the top of every worker thread. Keeps an existing alternate
// stack that is already big enough; otherwise puts the previous one back on destruction.
class ThreadGuard {
public:
    ThreadGuard();
    ~ThreadGuard();
    ThreadGuard(const ThreadGuard&) = delete;
    ThreadGuard& operator=(const ThreadGuard&) = delete;

private:
    void* m_stack = nullptr;
    std::size_t m_size = 0;
    void* m_previous = nullptr;
    std::size_t m_previousSize = 0;
};

}  // namespace crashdump
