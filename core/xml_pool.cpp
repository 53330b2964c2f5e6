#include "core/xml_pool.h"

#include <algorithm>
#include <new>

namespace qav {

XmlPool::~XmlPool() {
    for (void* chunk : m_chunks) {
        ::operator delete(chunk);
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
    char* chunk = static_cast<char*>(::operator new(m_nextChunkBytes));
    m_chunks.push_back(chunk);
    m_heldBytes += m_nextChunkBytes;
    m_cursor = chunk;
    m_limit = chunk + m_nextChunkBytes;
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
