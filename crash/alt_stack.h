#pragma once

// Alternate signal stacks, so the crash handler still runs when a thread has overflowed its own stack.
namespace crashdump {

// Gives the calling thread an alternate signal stack for the rest of its life, unless it already has one that
// is big enough.
void KeepAltStackForThread();

}  // namespace crashdump
