#pragma once

// Writes DumpFile.dmp (a Breakpad-compatible Linux minidump) into the current directory when the process
// dies of SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT on any thread, then ends the process by that signal.
namespace crashdump {

// Installs the handlers and prepares everything the handler needs. Safe to call more than once. Gives the
// calling thread an alternate signal stack.
void Install();

// Gives the current thread an alternate signal stack for as long as it lives, so a stack overflow on that
// thread still writes a dump. Create one at the top of every worker thread.
class ThreadGuard {
public:
    ThreadGuard();
    ~ThreadGuard();
    ThreadGuard(const ThreadGuard&) = delete;
    ThreadGuard& operator=(const ThreadGuard&) = delete;

private:
    void* m_stack = nullptr;
};

}  // namespace crashdump
