#include "crash/alt_stack.h"
#include "crash/crash_dump.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "crash/signal_safe.h"

// Ordinary code: runs when a thread starts or ends, never inside the handler.

namespace crashdump {
namespace {

constexpr size_t kMinAltStackSize = 64 * 1024;

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

}  // namespace

void KeepAltStackForThread() {
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
