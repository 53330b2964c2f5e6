// Threads of the operating system: ids, sleeping and yielding.
#pragma once

#include <cstdint>

namespace qav::platform {

// The kernel's id of the calling thread (gettid). Never 0 and never 0xFFFFFFFF, the
// value the system uses for "no thread".
uint32_t CurrentThreadId();

// Sleeps for the given milliseconds; 0 yields the processor.
void SleepMilliseconds(int milliseconds);

void YieldProcessor();

}  // namespace qav::platform
