// Reading memory that may be unmapped, protected or changing under another thread,
// without faulting: the state reports read every trace chain this way.
//
// The copy is made by the kernel (process_vm_readv on our own process, or a pipe write
// where that call is not permitted), so a bad address gives a failure instead of a
// signal, and the sanitizers do not take the read for a race.
//
// Threads: any.
#pragma once

#include <cstddef>

namespace qav::platform {

// Copies `length` bytes from `address`; false (out partly written) when any of them
// cannot be read.
bool SafeRead(const void* address, void* out, size_t length);

// Copies bytes from `address` up to `length` or to the first unreadable page, whichever
// comes first. Returns the bytes copied.
size_t SafeReadPrefix(const void* address, void* out, size_t length);

// Tests: read through the pipe probe even where process_vm_readv is permitted (true),
// or choose again on the next read (false).
void UsePipeProbeForTesting(bool pipe);

}  // namespace qav::platform
