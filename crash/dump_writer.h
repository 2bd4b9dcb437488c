#pragma once

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

// Writes the minidump streams for one crash: the crashing thread with its registers and stack, the exception,
// the loaded ELF modules, system and process info and the Linux /proc streams.
namespace crashdump {

// The memory the writer works in, mapped and partly filled before any crash.
struct Scratch;

struct Crash {
    int signal;
    const siginfo_t* info;
    const ucontext_t* context;
    pid_t pid;
    pid_t tid;
};

// Ordinary code, run once before any crash: maps the scratch memory and records what is cheaper to learn now
// (processor, kernel version). nullptr when the memory cannot be mapped.
Scratch* PrepareScratch();

// Runs inside the signal handler and must stay async-signal-safe. Writes the whole dump into fd, the header
// last, so a dump cut short by a second fault has no valid signature.
void WriteDump(int fd, Scratch& scratch, const Crash& crash);

}  // namespace crashdump
