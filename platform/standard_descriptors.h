// The process's standard descriptors (0, 1 and 2).
//
// A program started with one of them closed ("qav-node >&-") would hand that number to
// the next descriptor it opens, an eventfd or a socket, and then print its output into
// it. Filling the gaps with /dev/null first keeps 0 to 2 what every part of the program
// takes them to be.
//
// Threads: call it first thing in main, before anything opens a descriptor.
#pragma once

namespace qav::platform {

// Opens /dev/null on each of descriptors 0 to 2 that is closed (read-only for 0,
// write-only for 1 and 2), leaving the open ones as they are. False, with the system's
// code in `errorCode`, when /dev/null cannot be opened; descriptors filled before the
// failure stay filled.
bool FillClosedStandardDescriptors(int& errorCode);

}  // namespace qav::platform
