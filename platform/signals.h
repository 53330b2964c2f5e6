// Process-wide signal settings.
#pragma once

namespace qav::platform {

// Makes a write to a socket or pipe whose reader has gone fail with EPIPE instead of
// ending the process. Affects the whole process; safe to call more than once, from any
// thread.
void IgnoreBrokenPipeSignal();

// Blocks SIGINT and SIGTERM in the calling thread. Threads started afterwards inherit
// the mask, so the signals stay pending until WaitForStopSignal takes them: call it
// first thing in main, before any thread starts.
void BlockStopSignals();

// Waits up to `timeoutMs` for SIGINT or SIGTERM (blocked by BlockStopSignals). Returns
// the signal's number, or 0 when none came in time.
int WaitForStopSignal(int timeoutMs);

}  // namespace qav::platform
