// Pooled binary packets: fixed 1600-byte buffers that datagrams are received into and
// that the binary protocol is read from. A packet is lent by its pool and given back
// through its first operation, on whichever thread is done with it.
//
// Typical usage:
//   RefPtr<BinaryPacketsPool> pool(new BinaryPacketsPool(1024));
//   if (BinaryPacket* packet = pool->Lend()) {
//       receive into packet->Data(), at most packet->Capacity() bytes ...
//       packet->ReturnToPool();
//   }
//
// The pool lives while any packet is out: each lent packet holds a reference to it.
// Threads: Lend, ReturnToPool and the counts from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "network/lent_packet_buffer.h"

namespace qav {

class BinaryPacketsPool;

class BinaryPacket : public LentPacketBuffer {
  public:
    static constexpr size_t kBufferSize = 1600;

    // Gives the packet back to its pool; the caller may not touch it afterwards.
    void ReturnToPool() override;

    uint8_t* Data() { return m_buffer; }
    static constexpr size_t Capacity() { return kBufferSize; }

  protected:
    friend class BinaryPacketsPool;
    BinaryPacket() = default;
    virtual ~BinaryPacket() = default;
    BinaryPacket(const BinaryPacket&) = delete;
    BinaryPacket& operator=(const BinaryPacket&) = delete;

  private:
    BinaryPacketsPool* m_pool = nullptr;  // set while lent
    uint8_t m_buffer[kBufferSize];
};

class BinaryPacketsPool final : public RefCountedObject<RefCounted> {
  public:
    // At most `maxPackets` are out at once; returned packets are kept for the next Lend.
    explicit BinaryPacketsPool(size_t maxPackets);

    // A packet for the caller alone; null when `maxPackets` are out.
    BinaryPacket* Lend();

    uint64_t GetLentCount();
    uint64_t GetReturnedCount();
    // Lends refused because the bound was reached.
    uint64_t GetRefusedCount();
    size_t GetOutstandingCount();

  private:
    friend class BinaryPacket;
    ~BinaryPacketsPool() override;
    void Take(BinaryPacket* packet);

    const size_t m_maxPackets;
    MutualExclusion m_mutex;
    // Guarded by m_mutex.
    std::vector<BinaryPacket*> m_idle;
    uint64_t m_lentCount = 0;
    uint64_t m_returnedCount = 0;
    uint64_t m_refusedCount = 0;
};

}  // namespace qav
