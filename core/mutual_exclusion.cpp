#include "core/mutual_exclusion.h"

#include <algorithm>
#include <utility>
#include <vector>

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
// and unlock compares it with the owner), and the mutexes it holds, oldest first. One
// object, so that a lock finds both at one address. The list is kept apart from the
// mutexes, not linked through them, so that one destroyed while this thread holds it
// (a misuse, reported) leaves nothing in freed memory that this thread would follow.
// Trivially destructible: the thread's end frees a spilled list (AbandonHeldLocks).
constexpr uint32_t kHeldInline = 8;
struct ThreadLocks {
    uint32_t id = 0;
    bool endHooked = false;
    uint32_t heldCount = 0;
    uint32_t heldCapacity = kHeldInline;
    MutualExclusion** spilled = nullptr;  // the whole list, once it outgrew inlineHeld
    MutualExclusion* inlineHeld[kHeldInline] = {};

    MutualExclusion** Held() { return spilled != nullptr ? spilled : inlineHeld; }
};
thread_local constinit ThreadLocks t_locks;

uint32_t CallingThreadId() {
    ThreadLocks& locks = t_locks;
    if (locks.id == 0) [[unlikely]] {
        locks.id = platform::CurrentThreadId();
    }
    return locks.id;
}

[[gnu::noinline]] void GrowHeld(ThreadLocks& locks) {
    const uint32_t capacity = locks.heldCapacity * 2;
    auto* grown = new MutualExclusion*[capacity];
    std::copy_n(locks.Held(), locks.heldCount, grown);
    delete[] locks.spilled;
    locks.spilled = grown;
    locks.heldCapacity = capacity;
}

// The mutexes destroyed while another thread held them, each with that thread's id: their
// addresses stay in the holder's list, and its end must not abandon what is gone. The
// destructor's check and entry, and the end's check and abandoning, run under `lock`, so
// neither can fall between the other's two steps. Never destroyed: threads may end after
// static destruction began.
struct DestroyedWhileHeld {
    platform::LockWord lock;
    std::vector<std::pair<const MutualExclusion*, uint32_t>> entries;
};

DestroyedWhileHeld& TheDestroyedWhileHeld() {
    static auto* const destroyed = new DestroyedWhileHeld;
    return *destroyed;
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
    ThreadLocks& locks = t_locks;
    if (locks.heldCount != 0) {
        DestroyedWhileHeld& destroyed = TheDestroyedWhileHeld();
        destroyed.lock.Lock();
        auto& entries = destroyed.entries;
        MutualExclusion** held = locks.Held();
        for (uint32_t i = locks.heldCount; i-- > 0;) {
            const auto gone =
                std::find(entries.begin(), entries.end(),
                          std::make_pair(static_cast<const MutualExclusion*>(held[i]), locks.id));
            if (gone != entries.end()) {
                // One entry stands for one destroyed mutex: a later one at the same address
                // is still abandoned.
                entries.erase(gone);
                continue;
            }
            // A waiter that sees the mutex abandoned may destroy it at once; its destructor
            // waits for `lock`, then finds it abandoned and leaves this list alone.
            held[i]->m_handle.Abandon();
        }
        std::erase_if(entries, [&](const auto& entry) { return entry.second == locks.id; });
        destroyed.lock.Unlock();
        locks.heldCount = 0;
    }
    delete[] locks.spilled;
    locks.spilled = nullptr;
    locks.heldCapacity = kHeldInline;
}

inline void MutualExclusion::LinkHeld() {
    ThreadLocks& locks = t_locks;
    if (!locks.endHooked) [[unlikely]] {
        HookThreadEnd();
        locks.endHooked = true;
    }
    if (locks.heldCount == locks.heldCapacity) [[unlikely]] {
        GrowHeld(locks);
    }
    locks.Held()[locks.heldCount++] = this;
}

inline void MutualExclusion::UnlinkHeld() {
    // Locks are mostly let go in the reverse order of taking them: the newest is last.
    ThreadLocks& locks = t_locks;
    MutualExclusion** held = locks.Held();
    for (uint32_t i = locks.heldCount; i-- > 0;) {
        if (held[i] == this) {
            std::copy(held + i + 1, held + locks.heldCount, held + i);
            --locks.heldCount;
            return;
        }
    }
}

void MutualExclusion::ForgetHeldByAnotherThread(uint32_t owner) {
    DestroyedWhileHeld& destroyed = TheDestroyedWhileHeld();
    destroyed.lock.Lock();
    // An abandoned mutex is no longer in its ended owner's list.
    if (!m_handle.IsAbandoned()) {
        destroyed.entries.emplace_back(this, owner);
    }
    destroyed.lock.Unlock();
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
    // into a dying object would only move the damage. That thread's list forgets it.
    if (owner != CallingThreadId()) {
        ForgetHeldByAnotherThread(owner);
    } else if (!m_handle.IsAbandoned()) {
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
        m_handle.NestLevel();
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
    } else {
        m_handle.UnnestLevel();
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
