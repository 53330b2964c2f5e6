// The system's lock: a recursive mutex that remembers its owner and its lock count and
// treats misuse (an unlock by another thread, destruction while locked) as a programming
// error, reported through the fatal report and otherwise ignored. A relock by the owner
// is allowed, and logged with the owner's trace chain when the process-wide text logger
// admits errors.
//
// Typical usage:
//   MutualExclusionLock lock(m_mutex);          // waits without limit
//   MutualExclusionLock tried(m_mutex, 0);      // try only
//   if (!tried.IsLocked()) return false;
//
// A mutex whose owner thread ends while holding it is abandoned: every wait on it, those
// already waiting included, returns false from then on, and its owner and count stay as
// the ended thread left them (its destruction reports it as locked by that thread).
// A mutex destroyed while another thread holds it is reported, and that thread never
// touches its memory again: its end abandons only the mutexes that still exist.
//
// Threads: any thread may lock; only the owner may unlock. The owner and the count are
// written only by the owner while it holds the lock; other threads may read them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"

namespace qav {

struct TraceFrame;

class MutualExclusion {
  public:
    static constexpr uint32_t kNoThread = 0xFFFFFFFFu;

    MutualExclusion() = default;
    ~MutualExclusion();
    MutualExclusion(const MutualExclusion&) = delete;
    MutualExclusion& operator=(const MutualExclusion&) = delete;

    // Timeout in milliseconds: -1 (any negative) waits without limit, 0 only tries.
    // True when acquired; on failure (the time ran out, or the mutex is abandoned)
    // nothing changes.
    bool Lock(int timeout = -1);
    // False (and nothing changes) when the caller is not the owner.
    bool Unlock();

    // For diagnostics and tests: the owner's thread id (kNoThread when unlocked) and
    // the number of locks not yet unlocked.
    uint32_t LockingThreadId() const { return m_dwLockingThreadID.load(std::memory_order_relaxed); }
    int32_t LockCount() const { return m_lockCount.load(std::memory_order_relaxed); }

    bool IsAbandoned() const { return m_handle.IsAbandoned(); }

  private:
    void ReportRelock(const TraceFrame* frame);
    // The calling thread's list of the mutexes it holds, kept so that its end can abandon
    // those it still holds. REQUIRES: the first lock was just taken / the last is being
    // given up, by the calling thread.
    void LinkHeld();
    void UnlinkHeld();
    // Makes sure that the calling thread's end abandons what it still holds.
    static void HookThreadEnd();
    static void AbandonHeldLocks();
    // For the destructor of a mutex that another thread holds: that thread's list keeps
    // the address, which it must never follow once the memory is gone.
    void ForgetHeldByAnotherThread(uint32_t owner);

    platform::LockWord m_handle;
    std::atomic<int32_t> m_lockCount{0};
    std::atomic<uint32_t> m_dwLockingThreadID{kNoThread};
};

// Holds a MutualExclusion for a scope.
class MutualExclusionLock {
  public:
    explicit MutualExclusionLock(MutualExclusion& mutex, int timeout = -1)
        : m_mutex(&mutex), m_locked(mutex.Lock(timeout)) {}
    ~MutualExclusionLock() { Unlock(); }
    MutualExclusionLock(const MutualExclusionLock&) = delete;
    MutualExclusionLock& operator=(const MutualExclusionLock&) = delete;

    bool IsLocked() const { return m_locked; }
    // Locks again when not locked, waiting as MutualExclusion::Lock does (without limit by
    // default); returns the locked flag.
    bool Relock(int timeout = -1) {
        if (!m_locked) {
            m_locked = m_mutex->Lock(timeout);
        }
        return m_locked;
    }
    void Unlock() {
        if (m_locked) {
            m_mutex->Unlock();
            m_locked = false;
        }
    }

  private:
    MutualExclusion* m_mutex;
    bool m_locked;
};

// What ScopedLock can hold.
class Lockable {
  public:
    // Timeout in milliseconds, -1 without limit. True when locked.
    virtual bool Lock(int timeout) = 0;
    virtual void Unlock() = 0;

    virtual ~Lockable() = default;
};

// Holds one Lockable at a time; the held object may be swapped.
class ScopedLock {
  public:
    ScopedLock() = default;
    explicit ScopedLock(Lockable* object) { Assign(object); }
    ~ScopedLock() { Assign(nullptr); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    // Locks the new object before the old one is unlocked, so that a hand-over from one
    // object to the next never leaves both open.
    void Assign(Lockable* object);
    bool IsLocked() const { return m_locked; }
    Lockable* object() const { return m_object; }

  private:
    Lockable* m_object = nullptr;
    bool m_locked = false;
};

}  // namespace qav
