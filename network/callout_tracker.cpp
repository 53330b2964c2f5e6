#include "network/callout_tracker.h"

#include <climits>

#include "platform/futex.h"

namespace qav {
namespace {

// The callouts this thread is inside of, innermost first.
thread_local CalloutTracker::Callout* t_innermost = nullptr;

}  // namespace

void CalloutTracker::Callout::Enter(CalloutTracker& tracker) {
    if (m_tracker != nullptr) {
        return;
    }
    m_tracker = &tracker;
    tracker.m_word.fetch_add(1, std::memory_order_acq_rel);
    m_outer = t_innermost;
    t_innermost = this;
}

void CalloutTracker::Callout::Leave() {
    CalloutTracker* tracker = m_tracker;
    if (tracker == nullptr) {
        return;
    }
    m_tracker = nullptr;
    // Callouts normally end innermost first; one that ends out of turn is unlinked where it is.
    for (Callout** link = &t_innermost; *link != nullptr; link = &(*link)->m_outer) {
        if (*link == this) {
            *link = m_outer;
            break;
        }
    }
    m_outer = nullptr;
    const uint32_t before = tracker->m_word.fetch_sub(1, std::memory_order_acq_rel);
    if (before >= kOneWaiter) {
        platform::FutexWake(tracker->m_word, INT_MAX);
    }
}

void CalloutTracker::WaitForOtherThreads() {
    uint32_t own = 0;
    for (const Callout* callout = t_innermost; callout != nullptr; callout = callout->m_outer) {
        own += callout->m_tracker == this ? 1 : 0;
    }
    if ((m_word.load(std::memory_order_acquire) & kCountMask) <= own) {
        return;
    }
    m_word.fetch_add(kOneWaiter, std::memory_order_acq_rel);
    for (;;) {
        const uint32_t word = m_word.load(std::memory_order_acquire);
        if ((word & kCountMask) <= own) {
            break;
        }
        platform::FutexWait(m_word, word, platform::kNoDeadline);
    }
    m_word.fetch_sub(kOneWaiter, std::memory_order_acq_rel);
}

}  // namespace qav
