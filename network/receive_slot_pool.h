// The datagram listener's five receive slots. A slot carries one received datagram (its
// sender, byte count, buffer and packet) from HandleInput, which receives it under the
// listener's lock, to ProcessInput, which delivers it without that lock. Slots are named
// by their index, which is what the socket wait loop hands from one call to the other.
//
// Threads: any; the pool has its own lock (taken inside the listener's, never around it),
// so a slot can be returned while the listener is busy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/mutual_exclusion.h"
#include "platform/socket.h"

namespace qav {

class LentPacketBuffer;

struct ReceiveSlot {
    platform::SocketAddressV4 sender;
    ptrdiff_t count = 0;
    uint8_t* buffer = nullptr;
    LentPacketBuffer* packet = nullptr;
};

class ReceiveSlotPool {
  public:
    static constexpr int kCapacity = 5;
    static constexpr int kNone = -1;

    ReceiveSlotPool();
    ReceiveSlotPool(const ReceiveSlotPool&) = delete;
    ReceiveSlotPool& operator=(const ReceiveSlotPool&) = delete;

    // The index of a free slot, now in use and holding `slot`; kNone (and a miss
    // counted) when all are in use.
    int Take(const ReceiveSlot& slot);
    // Copies a slot out and frees it. False, and nothing changes, for an index that is
    // out of range or not in use: the value comes back through the wait loop, so it is
    // checked rather than trusted.
    bool Give(int index, ReceiveSlot& out);

    int GetUsedCount();
    int GetHighestUsedCount();
    // Receives that found no free slot.
    uint64_t GetMissCount();

  private:
    struct Entry {
        int next = kNone;
        bool inUse = false;
        ReceiveSlot slot;
    };

    MutualExclusion m_mutex;
    // Guarded by m_mutex.
    int m_freeHead = 0;
    int m_usedCount = 0;
    int m_highestUsedCount = 0;
    uint64_t m_missCount = 0;
    Entry m_entries[kCapacity];
};

}  // namespace qav
