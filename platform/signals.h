// Process-wide signal settings.
#pragma once

namespace qav::platform {

// Makes a write to a socket or pipe whose reader has gone fail with EPIPE instead of
// ending the process. Affects the whole process; safe to call more than once, from any
// thread.
void IgnoreBrokenPipeSignal();

// Blocks the stop signals in the calling thread: SIGINT, SIGTERM and SIGHUP (a closed
// terminal or a supervisor's hang-up), but not SIGHUP when the process was started with
// it ignored, as nohup starts a program. Threads started afterwards inherit the mask, so
// the signals stay pending until WaitForStopSignal takes them: call it first thing in
// main, before any thread starts. SIGQUIT keeps its default.
void BlockStopSignals();

// Waits up to `timeoutMs` for one of the signals BlockStopSignals blocked. Returns the
// signal's number, or 0 when none came in time. Call it from the thread that blocked them.
int WaitForStopSignal(int timeoutMs);

}  // namespace qav::platform
