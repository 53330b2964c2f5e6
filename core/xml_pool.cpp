#include "core/xml_pool.h"

#include <algorithm>
#include <new>

#include "platform/huge_pages.h"

namespace qav {

XmlPool::~XmlPool() {
    for (const Chunk& chunk : m_chunks) {
        if (chunk.hugePages) {
            platform::FreeHugePages(chunk.start, chunk.bytes);
        } else {
            ::operator delete(chunk.start);
        }
    }
    while (m_large != nullptr) {
        LargeBlock* next = m_large->next;
        ::operator delete(m_large);
        m_large = next;
    }
}

void XmlPool::NewChunk() {
    if (m_chunks.size() == m_chunks.capacity()) {
        m_chunks.reserve(2 * m_chunks.size() + 8);  // before the chunk, which it must hold
    }
    static_assert(kHugeChunkBytes % platform::kHugePageBytes == 0);
    Chunk chunk{nullptr, m_nextChunkBytes, false};
    if (chunk.bytes >= kHugeChunkBytes) {
        chunk.start = static_cast<char*>(platform::AllocateHugePages(chunk.bytes));
        chunk.hugePages = chunk.start != nullptr;
    }
    if (chunk.start == nullptr) {
        chunk.start = static_cast<char*>(::operator new(chunk.bytes));
    }
    m_chunks.push_back(chunk);
    m_heldBytes += chunk.bytes;
    m_cursor = chunk.start;
    m_limit = chunk.start + chunk.bytes;
    m_nextChunkBytes = std::min(m_nextChunkBytes * 2, kLargestChunkBytes);
}

void* XmlPool::AllocateLarge(size_t bytes) {
    if (bytes > static_cast<size_t>(-1) - sizeof(LargeBlock)) {
        throw std::bad_alloc();
    }
    LargeBlock* large = static_cast<LargeBlock*>(::operator new(sizeof(LargeBlock) + bytes));
    m_heldBytes += sizeof(LargeBlock) + bytes;
    large->previous = nullptr;
    large->next = m_large;
    if (m_large != nullptr) {
        m_large->previous = large;
    }
    m_large = large;
    return large + 1;
}

void XmlPool::FreeLarge(void* block, size_t bytes) noexcept {
    if (block == nullptr) {
        return;
    }
    LargeBlock* large = static_cast<LargeBlock*>(block) - 1;
    if (large->previous != nullptr) {
        large->previous->next = large->next;
    } else {
        m_large = large->next;
    }
    if (large->next != nullptr) {
        large->next->previous = large->previous;
    }
    m_heldBytes -= sizeof(LargeBlock) + bytes;
    ::operator delete(large);
}

}  // namespace qav
