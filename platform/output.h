// Writing to an output that may stall: a pipe, terminal or socket whose reader stops
// reading. A program that prints its log must never hang on such an output, so the
// writer waits for room with poll, where it can be woken or can give up, and hands the
// kernel at most kOutputChunk bytes at once: as much as a pipe with room takes whole,
// so the write itself does not block.
//
// Typical usage (a printer thread):
//   int errorCode = 0;
//   const size_t written = platform::WriteOutput(1, text.data(), text.size(), -1,
//                                                stopWakeUp.descriptor(), errorCode);
//   if (written < text.size() && errorCode == 0) { ... woken: stop, or go on with a deadline }
//
// Threads: any; the caller owns the descriptors' use.
#pragma once

#include <cstddef>

namespace qav::platform {

// PIPE_BUF on Linux: a write of at most this many bytes to a pipe with room never blocks.
constexpr size_t kOutputChunk = 4096;

// Writes `length` bytes of `data` to `descriptor`, waiting for room between chunks.
// Returns the bytes written, fewer than `length` when `timeoutMs` ran out (negative: no
// limit), when `wakeUp` (a descriptor polled for input; -1: none) became readable, or when
// the output failed; `errorCode` is then the system's code of the failure, else 0. The
// wake-up descriptor is not drained.
size_t WriteOutput(int descriptor, const char* data, size_t length, int timeoutMs, int wakeUp,
                   int& errorCode);

}  // namespace qav::platform
