#include "core/mutual_exclusion.h"

#include "core/format.h"
#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "platform/state_report.h"
#include "platform/thread.h"

namespace qav {

namespace {

// Set while this thread writes a relock report: a logger that itself locks a
// MutualExclusion it already holds must not report again from inside the report.
thread_local bool t_reportingRelock = false;

// What each thread keeps for its locks: its id, asked of the system once (every lock
// and unlock compares it with the owner), and the mutexes it holds, newest first. One
// object, so that a lock finds both at one address.
struct ThreadLocks {
    uint32_t id = 0;
    bool endHooked = false;
    MutualExclusion* newest = nullptr;
};
thread_local constinit ThreadLocks t_locks;

uint32_t CallingThreadId() {
    ThreadLocks& locks = t_locks;
    if (locks.id == 0) [[unlikely]] {
        locks.id = platform::CurrentThreadId();
    }
    return locks.id;
}

}  // namespace

void MutualExclusion::HookThreadEnd() {
    struct ThreadEnd {
        ~ThreadEnd() { AbandonHeldLocks(); }
    };
    // Made on first use, so only threads that ever lock pay for the hook.
    thread_local ThreadEnd threadEnd;
    (void)threadEnd;
}

void MutualExclusion::AbandonHeldLocks() {
    ThreadLocks& held = t_locks;
    while (MutualExclusion* mutex = held.newest) {
        held.newest = mutex->m_olderHeld;
        // Last: a waiter that sees the mutex abandoned may destroy it at once.
        mutex->m_handle.Abandon();
    }
}

inline void MutualExclusion::LinkHeld() {
    ThreadLocks& held = t_locks;
    if (!held.endHooked) [[unlikely]] {
        HookThreadEnd();
        held.endHooked = true;
    }
    m_olderHeld = held.newest;
    held.newest = this;
}

inline void MutualExclusion::UnlinkHeld() {
    // Locks are mostly let go in the reverse order of taking them: the newest is first.
    MutualExclusion** link = &t_locks.newest;
    while (*link != this && *link != nullptr) {
        link = &(*link)->m_olderHeld;
    }
    if (*link == this) {
        *link = m_olderHeld;
    }
}

MutualExclusion::~MutualExclusion() {
    const int32_t count = m_lockCount.load(std::memory_order_relaxed);
    if (count == 0) {
        return;
    }
    const uint32_t owner = m_dwLockingThreadID.load(std::memory_order_relaxed);
    char text[100];
    FormatText(text, sizeof text, "Mutex is locked (%d) by thread %ld", count,
               static_cast<long>(static_cast<int32_t>(owner)));
    platform::FatalProgramState(text);
    // The owner's locks are let go. A lock held by another thread is left as it is:
    // the lock word owns nothing that must be freed, and waking that thread's waiters
    // into a dying object would only move the damage.
    if (owner == CallingThreadId() && !m_handle.IsAbandoned()) {
        m_lockCount.store(0, std::memory_order_relaxed);
        m_dwLockingThreadID.store(kNoThread, std::memory_order_relaxed);
        UnlinkHeld();
        m_handle.Unlock();
    }
}

bool MutualExclusion::Lock(int timeout) {
    QAV_TRACE("ME::Lock");
    QAV_TRACE_VAR("m_dwLockingThreadID", m_dwLockingThreadID, kTraceInt32);
    const uint32_t self = CallingThreadId();
    // Only this thread can have stored its own id here, so a relaxed read is exact (but
    // for an abandoned mutex whose ended owner had the id the kernel gave this thread).
    if (m_dwLockingThreadID.load(std::memory_order_relaxed) == self && !m_handle.IsAbandoned()) {
        ReportRelock(qavTraceScope.frame());
        m_lockCount.store(m_lockCount.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
        return true;
    }
    bool acquired;
    if (timeout < 0) {
        acquired = m_handle.Lock();
    } else if (timeout == 0) {
        acquired = m_handle.TryLock();
    } else {
        acquired = m_handle.LockUntil(platform::DeadlineAfter(timeout));
    }
    if (!acquired) {
        return false;
    }
    m_dwLockingThreadID.store(self, std::memory_order_relaxed);
    m_lockCount.store(1, std::memory_order_relaxed);
    LinkHeld();
    return true;
}

bool MutualExclusion::Unlock() {
    if (m_dwLockingThreadID.load(std::memory_order_relaxed) != CallingThreadId() ||
        m_handle.IsAbandoned()) {
        platform::FatalProgramError("m_dwLockingThreadID == ::GetCurrentThreadId()");
        return false;
    }
    const int32_t count = m_lockCount.load(std::memory_order_relaxed) - 1;
    m_lockCount.store(count, std::memory_order_relaxed);
    if (count == 0) {
        m_dwLockingThreadID.store(kNoThread, std::memory_order_relaxed);
        UnlinkHeld();
        m_handle.Unlock();
    }
    return true;
}

void MutualExclusion::ReportRelock(const TraceFrame* frame) {
    if (t_reportingRelock) {
        return;
    }
    TextLogger* logger = TextLoggerFor(kSeverityError);
    if (logger == nullptr) {
        return;
    }
    t_reportingRelock = true;
    char report[200];
    const int length = WriteStateReport(frame, report, sizeof report);
    logger->LogFormat(kSeverityError, "Thread Relocking Error [count=%d]\r\n%.*s\r\n",
                      m_lockCount.load(std::memory_order_relaxed), length, report);
    t_reportingRelock = false;
}

void ScopedLock::Assign(Lockable* object) {
    if (object == m_object) {
        return;
    }
    Lockable* old = m_object;
    const bool oldLocked = m_locked;
    m_locked = object != nullptr && object->Lock(-1);
    m_object = object;
    if (old != nullptr && oldLocked) {
        old->Unlock();
    }
}

}  // namespace qav
