// Trace frames: every function keeps a small record of itself on a per-thread chain
// while it runs, so that state reports can print what each thread is doing, with the
// live values of the variables hung on each frame.
//
// Typical usage:
//   QAV_TRACE("FA::TOS");
//   const WChar* wszPath = path.c_str();
//   QAV_TRACE_VAR("wszPath", wszPath, kTraceWideText);
//
// A thread pushes and pops only its own chain and takes no lock. Other threads read a
// chain only through the safe read (WriteStateReport and the all-threads report).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/state_report.h"

namespace qav {

// How a report renders a registered variable.
enum TraceType : int32_t {
    kTraceEnum = 0,      // 32-bit word, "0x" and 8 hex digits (also 3 and codes above 11)
    kTracePointer = 1,   // pointer, "NULL", "(BAD)0x..." or "0x..."
    kTraceInt32 = 2,     // decimal with "," grouping
    kTraceMask = 4,      // "0b" and 32 binary digits
    kTraceText = 5,      // the address of a const char* variable
    kTraceBool = 6,      // a byte, "True" or "False"
    kTraceWideText = 7,  // the address of a const WChar* variable
    kTraceInt64 = 8,     // decimal with "," grouping
    kTraceByte = 9,      // "0x" and 2 hex digits
    kTraceInt16 = 10,    // decimal with "," grouping
    kTraceFlags = 11     // 16-bit word, "0x" and 4 hex digits
};

// A named variable hung on a frame. Lives on the stack beside the variable.
struct TraceVariable {
    const char* m_name;
    const void* m_address;
    int32_t m_type;
    TraceVariable* m_next;
};

// One function's record on its thread's chain. Lives in the function's own stack
// frame; the field order is what the report readers expect.
struct TraceFrame {
    const char* m_tag;  // null makes the frame invisible in reports
    TraceVariable* m_firstVariable;
    TraceVariable* m_lastVariable;
    TraceFrame* m_previous;  // the caller's frame
    TraceFrame* m_child;     // the callee's frame while it runs
    TraceFrame** m_slot;     // the thread's slot; null once popped

    static TraceFrame* Push(TraceFrame* frame, const char* tag);
    static void Pop(TraceFrame* frame);
    // Variables are never taken off: they vanish with the frame.
    void AddVariable(TraceVariable& record, const char* name, const void* address, int32_t type);

  private:
    // The slow path of a thread's first push: creates and lists its storage.
    static TraceFrame** AttachThread(TraceFrame* frame, const char* tag);
};

// Renders the chain from `frame` outward, innermost first, one line per frame ("tag
// name=value ...\r\n"). At most the smaller of 200 and `size` characters are written;
// the text is not NUL-terminated. Every read of the chain is a safe read, so a broken
// chain shortens the report instead of faulting. Returns the characters written.
int WriteStateReport(const TraceFrame* frame, char* buffer, size_t size);

// Pushes a frame on construction and pops it on destruction, also during unwinding.
class TraceScope {
  public:
    explicit TraceScope(const char* tag) { TraceFrame::Push(&m_frame, tag); }
    ~TraceScope() { TraceFrame::Pop(&m_frame); }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    void AddVariable(TraceVariable& record, const char* name, const void* address, int32_t type) {
        m_frame.AddVariable(record, name, address, type);
    }
    TraceFrame* frame() { return &m_frame; }

  private:
    TraceFrame m_frame;
};

inline TraceFrame* TraceFrame::Push(TraceFrame* frame, const char* tag) {
    TraceFrame** slot = platform::ListedTraceSlot();
    if (slot == nullptr) [[unlikely]] {
        slot = AttachThread(frame, tag);
    }
    TraceFrame* previous = *slot;
    frame->m_tag = tag;
    frame->m_firstVariable = nullptr;
    frame->m_lastVariable = nullptr;
    frame->m_previous = previous;
    frame->m_child = nullptr;
    frame->m_slot = slot;
    // A report of this thread taken from a signal handler, or through the safe read
    // from another thread, finds the frame filled before it is linked in.
    std::atomic_signal_fence(std::memory_order_release);
    if (previous != nullptr) {
        previous->m_child = frame;
    }
    *slot = frame;
    return frame;
}

inline void TraceFrame::Pop(TraceFrame* frame) {
    TraceFrame** slot = frame->m_slot;
    if (slot == nullptr) {
        return;
    }
    TraceFrame* previous = frame->m_previous;
    *slot = previous;
    if (previous != nullptr) {
        previous->m_child = nullptr;
    }
    frame->m_slot = nullptr;
}

inline void TraceFrame::AddVariable(TraceVariable& record, const char* name, const void* address,
                                    int32_t type) {
    record.m_name = name;
    record.m_address = address;
    record.m_type = type;
    record.m_next = nullptr;
    std::atomic_signal_fence(std::memory_order_release);
    if (m_lastVariable != nullptr) {
        m_lastVariable->m_next = &record;
    } else {
        m_firstVariable = &record;
    }
    m_lastVariable = &record;
}

}  // namespace qav

#define QAV_TRACE_CONCAT_INNER(a, b) a##b
#define QAV_TRACE_CONCAT(a, b) QAV_TRACE_CONCAT_INNER(a, b)

// Declares the TraceScope `qavTraceScope` in the current block.
#define QAV_TRACE(tag) ::qav::TraceScope qavTraceScope(tag)

// Hangs `variable` (read live through its address) on qavTraceScope.
#define QAV_TRACE_VAR(name, variable, type) \
    QAV_TRACE_VAR_RECORD(name, variable, type, QAV_TRACE_CONCAT(qavTraceVariable, __COUNTER__))
#define QAV_TRACE_VAR_RECORD(name, variable, type, record) \
    ::qav::TraceVariable record;                           \
    qavTraceScope.AddVariable(record, (name), &(variable), (type))
