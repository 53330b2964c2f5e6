#include "core/xml_pool.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/mutex.h"
#include "platform/page_memory.h"

namespace qav {

namespace {

// The mapped chunks of dead pools, waiting for the pools to come. Never destroyed: a
// pool may die while the process exits.
class KeptChunks {
  public:
    static constexpr size_t kMostChunks = XmlPool::kMostKeptBytes / XmlPool::kMappedChunkBytes;

    // A kept chunk, or null when none is kept.
    char* Take() {
        if (m_count.load(std::memory_order_relaxed) == 0) {
            return nullptr;
        }
        m_lock.Lock();
        const size_t count = m_count.load(std::memory_order_relaxed);
        char* chunk = nullptr;
        if (count != 0) {
            m_count.store(count - 1, std::memory_order_relaxed);
            chunk = m_chunks[count - 1];
        }
        m_lock.Unlock();
        return chunk;
    }

    // A pool died with `dead` (its mapped chunks): what was kept before is given back,
    // as no pool wanted it since, and `dead` is kept in its place as far as the bound
    // allows.
    void Replace(const std::vector<char*>& dead) {
        if (dead.empty() && m_count.load(std::memory_order_relaxed) == 0) {
            return;
        }
        char* givenBack[kMostChunks];
        size_t givenBackCount = 0;
        const size_t keep = std::min(dead.size(), kMostChunks);
        m_lock.Lock();
        givenBackCount = m_count.load(std::memory_order_relaxed);
        std::copy_n(m_chunks, givenBackCount, givenBack);
        std::copy_n(dead.begin(), keep, m_chunks);
        m_count.store(keep, std::memory_order_relaxed);
        m_lock.Unlock();
        for (size_t i = 0; i < givenBackCount; ++i) {
            platform::UnmapPages(givenBack[i], XmlPool::kMappedChunkBytes);
        }
        for (size_t i = keep; i < dead.size(); ++i) {
            platform::UnmapPages(dead[i], XmlPool::kMappedChunkBytes);
        }
    }

    size_t Count() const { return m_count.load(std::memory_order_relaxed); }

  private:
    platform::LockWord m_lock;
    char* m_chunks[kMostChunks] = {};  // guarded by m_lock
    // Written under m_lock; read without it only to skip the lock when nothing is kept.
    std::atomic<size_t> m_count{0};
};

// Room in a list of chunks before its next chunk is taken: a chunk that no list holds
// would be lost.
void MakeRoom(std::vector<char*>& chunks) {
    if (chunks.size() == chunks.capacity()) {
        chunks.reserve(2 * chunks.size() + 8);
    }
}

KeptChunks& Kept() {
    static KeptChunks* const kept = new KeptChunks;
    return *kept;
}

}  // namespace

XmlPool::~XmlPool() {
    for (char* chunk : m_heapChunks) {
        ::operator delete(chunk);
    }
    Kept().Replace(m_mappedChunks);
    while (m_large != nullptr) {
        LargeBlock* next = m_large->next;
        ::operator delete(m_large);
        m_large = next;
    }
}

size_t XmlPool::KeptBytes() {
    return Kept().Count() * kMappedChunkBytes;
}

void XmlPool::NewChunk() {
    const size_t bytes = m_nextChunkBytes;
    char* chunk = nullptr;
    if (bytes == kMappedChunkBytes) {
        MakeRoom(m_mappedChunks);
        chunk = Kept().Take();
        if (chunk == nullptr) {
            chunk = static_cast<char*>(platform::MapPagesFilledIn(bytes));
        }
        if (chunk != nullptr) {
            m_mappedChunks.push_back(chunk);
        }
    }
    if (chunk == nullptr) {
        MakeRoom(m_heapChunks);
        chunk = static_cast<char*>(::operator new(bytes));
        m_heapChunks.push_back(chunk);
    }
    m_heldBytes += bytes;
    m_cursor = chunk;
    m_limit = chunk + bytes;
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
