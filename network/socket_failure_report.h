// The one report of a socket step that failed, shared by every socket object of the
// library: "Failed to <step>: socket error <code> = <system text>", at error severity,
// through the process-wide text logger when one is installed and admits it.
//
// Threads: any.
#pragma once

namespace qav {

// `step` says what failed, as "bind a TCP client socket" or "poll".
void ReportSocketFailure(const char* step, int errorCode);

}  // namespace qav
