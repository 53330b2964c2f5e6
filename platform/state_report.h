// The state-report library: per-thread trace slots, the registry of live threads,
// the all-threads report and the fatal reports.
//
// Each thread that pushes a trace frame gets one slot, a word holding its innermost
// frame. The slot lives in the thread's own storage and stays valid for the thread's
// whole life; the thread is listed in the registry from its first push until
// FreeThreadExVarsStorage() or its end, whichever comes first (a later push lists it
// again). Other threads' chains are read only through the safe read, so a report never
// faults on a chain that its thread is changing meanwhile.
//
// Threads: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace qav {
struct TraceFrame;
}

namespace qav::platform {

// The calling thread's slot, the same for every call on one thread; creates the
// thread's storage and lists the thread on first use. `frame` and `tag` name the push
// that asks (kept for the report of a thread that has not pushed yet: unused here).
TraceFrame** GetAllocExVarsStorage(TraceFrame* frame, const char* tag);

// Takes the calling thread off the registry. Its slot stays usable, so frames still on
// the stack pop safely; a later push lists the thread again. A thread that ends
// without calling this is taken off all the same.
void FreeThreadExVarsStorage();

// Print the text and the calling thread's trace chain to stderr (or hand them to the
// hook, when one is installed) and return.
void FatalProgramError(std::string_view text);
void FatalProgramState(std::string_view text);

// Writes every listed thread's id, name and trace chain into the buffer, NUL-terminated
// when size is at least 1. Returns the characters written, without the NUL.
size_t WriteThreadsStateReport(char* buffer, size_t size);

enum class FatalReportKind { kError, kState };

// Installs a hook that takes the fatal reports instead of stderr (tests); the text is
// exactly the caller's. An empty hook restores printing. Returns the previous hook.
using FatalReportHook = std::function<void(FatalReportKind kind, std::string_view text)>;
FatalReportHook SetFatalReportHook(FatalReportHook hook);

// The renderer of one chain, installed by the trace frames before any chain exists
// (this layer knows nothing of a frame's layout). Writes at most `size` characters.
using TraceChainWriter = int (*)(const TraceFrame* frame, char* buffer, size_t size);
void SetTraceChainWriter(TraceChainWriter writer);

namespace detail {
// The calling thread's slot while it is listed, else null: the push's fast path.
[[gnu::tls_model("initial-exec")]] inline thread_local constinit TraceFrame** t_listedSlot =
    nullptr;
}  // namespace detail

inline TraceFrame** ListedTraceSlot() {
    return detail::t_listedSlot;
}

}  // namespace qav::platform
