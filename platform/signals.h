// Process-wide signal settings.
#pragma once

namespace qav::platform {

// Makes a write to a socket or pipe whose reader has gone fail with EPIPE instead of
// ending the process. Affects the whole process; safe to call more than once, from any
// thread.
void IgnoreBrokenPipeSignal();

}  // namespace qav::platform
