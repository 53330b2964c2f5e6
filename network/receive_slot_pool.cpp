#include "network/receive_slot_pool.h"

namespace qav {

ReceiveSlotPool::ReceiveSlotPool() {
    for (int i = 0; i < kCapacity; ++i) {
        m_entries[i].next = i + 1 < kCapacity ? i + 1 : kNone;
    }
}

int ReceiveSlotPool::Take(const ReceiveSlot& slot) {
    MutualExclusionLock lock(m_mutex);
    const int index = m_freeHead;
    if (index == kNone) {
        ++m_missCount;
        return kNone;
    }
    Entry& entry = m_entries[index];
    m_freeHead = entry.next;
    entry.next = kNone;
    entry.inUse = true;
    entry.slot = slot;
    if (++m_usedCount > m_highestUsedCount) {
        m_highestUsedCount = m_usedCount;
    }
    return index;
}

bool ReceiveSlotPool::Give(int index, ReceiveSlot& out) {
    MutualExclusionLock lock(m_mutex);
    if (index < 0 || index >= kCapacity || !m_entries[index].inUse || m_usedCount <= 0) {
        return false;
    }
    Entry& entry = m_entries[index];
    out = entry.slot;
    entry.slot = ReceiveSlot();
    entry.inUse = false;
    entry.next = m_freeHead;
    m_freeHead = index;
    --m_usedCount;
    return true;
}

int ReceiveSlotPool::GetUsedCount() {
    MutualExclusionLock lock(m_mutex);
    return m_usedCount;
}

int ReceiveSlotPool::GetHighestUsedCount() {
    MutualExclusionLock lock(m_mutex);
    return m_highestUsedCount;
}

uint64_t ReceiveSlotPool::GetMissCount() {
    MutualExclusionLock lock(m_mutex);
    return m_missCount;
}

}  // namespace qav
