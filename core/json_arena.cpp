#include "core/json_arena.h"

#include <algorithm>

#include "platform/huge_pages.h"

namespace qav {

static_assert(JsonArena::kLargestPooled % JsonArena::kGranule == 0);

JsonArena::~JsonArena() {
    while (m_newestChunk != nullptr) {
        Chunk* chunk = m_newestChunk;
        m_newestChunk = chunk->previous;
        // The sanitizer's marks would outlive the memory: pages the kernel takes back may
        // come again at the same address for someone else.
        Unpoison(chunk, chunk->bytes);
        if (chunk->hugePages) {
            platform::FreeHugePages(chunk, chunk->bytes);
        } else {
            ::operator delete(chunk);
        }
    }
}

void JsonArena::Destroy() {
    delete this;
}

void JsonArena::ExpectBytes(size_t bytes) {
    while (m_nextChunkBytes < kHugeChunkBytes && m_nextChunkBytes < bytes / 4) {
        m_nextChunkBytes =
            m_nextChunkBytes < kLargestHeapChunkBytes ? m_nextChunkBytes * 2 : kHugeChunkBytes;
    }
}

void JsonArena::NewChunk() {
    static_assert(kHugeChunkBytes % platform::kHugePageBytes == 0);
    const size_t bytes = m_nextChunkBytes;
    Chunk* chunk = nullptr;
    bool hugePages = false;
    if (bytes >= kHugeChunkBytes) {
        chunk = static_cast<Chunk*>(platform::AllocateHugePages(bytes));
        hugePages = chunk != nullptr;
    }
    if (chunk == nullptr) {
        chunk = static_cast<Chunk*>(::operator new(bytes));
    }
    chunk->previous = m_newestChunk;
    chunk->bytes = bytes;
    chunk->hugePages = hugePages;
    m_newestChunk = chunk;
    m_heldBytes += bytes;
    m_cursor = reinterpret_cast<char*>(chunk) + kChunkHeaderBytes;
    m_limit = reinterpret_cast<char*>(chunk) + bytes;
    Poison(m_cursor, static_cast<size_t>(m_limit - m_cursor));
    m_nextChunkBytes = m_nextChunkBytes < kLargestHeapChunkBytes
                           ? m_nextChunkBytes * 2
                           : std::max(m_nextChunkBytes, kHugeChunkBytes);
}

}  // namespace qav
