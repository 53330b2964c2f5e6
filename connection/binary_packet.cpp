#include "connection/binary_packet.h"

#include "platform/state_report.h"

namespace qav {

void BinaryPacket::ReturnToPool() {
    BinaryPacketsPool* pool = m_pool;
    if (pool == nullptr) {
        // Returned twice: taking it again would hand one buffer to two borrowers.
        platform::FatalProgramError("BinaryPacket returned to its pool twice");
        return;
    }
    pool->Take(this);
    // The lent packet's reference: the pool may go with it, so it is dropped last.
    pool->Release();
}

BinaryPacketsPool::BinaryPacketsPool(size_t maxPackets) : m_maxPackets(maxPackets) {}

BinaryPacketsPool::~BinaryPacketsPool() {
    for (BinaryPacket* packet : m_idle) {
        delete packet;
    }
}

BinaryPacket* BinaryPacketsPool::Lend() {
    BinaryPacket* packet = nullptr;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_lentCount - m_returnedCount >= m_maxPackets) {
            ++m_refusedCount;
            return nullptr;
        }
        if (!m_idle.empty()) {
            packet = m_idle.back();
            m_idle.pop_back();
        }
        ++m_lentCount;
    }
    if (packet == nullptr) {
        packet = new BinaryPacket;
    }
    AddRef();
    packet->m_pool = this;
    return packet;
}

void BinaryPacketsPool::Take(BinaryPacket* packet) {
    packet->m_pool = nullptr;
    MutualExclusionLock lock(m_mutex);
    m_idle.push_back(packet);
    ++m_returnedCount;
}

uint64_t BinaryPacketsPool::GetLentCount() {
    MutualExclusionLock lock(m_mutex);
    return m_lentCount;
}

uint64_t BinaryPacketsPool::GetReturnedCount() {
    MutualExclusionLock lock(m_mutex);
    return m_returnedCount;
}

uint64_t BinaryPacketsPool::GetRefusedCount() {
    MutualExclusionLock lock(m_mutex);
    return m_refusedCount;
}

size_t BinaryPacketsPool::GetOutstandingCount() {
    MutualExclusionLock lock(m_mutex);
    return static_cast<size_t>(m_lentCount - m_returnedCount);
}

}  // namespace qav
