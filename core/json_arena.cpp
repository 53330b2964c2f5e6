#include "core/json_arena.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/mutex.h"
#include "platform/page_memory.h"

namespace qav {

namespace {

// The first region is never larger: a tree measured larger than it is takes the rest in
// regions that follow, so a text that misleads the measure cannot reserve much more
// address space than its tree takes.
constexpr size_t kLargestFirstRegion = size_t{64} << 20;
// The smallest region asked for again when the kernel refuses a larger one.
constexpr size_t kLeastRegion = size_t{64} << 10;
// No block after the first is larger than this, unless one request needs it.
constexpr size_t kLargestGrowth = size_t{1} << 30;

// `bytes` rounded up to whole pages, saturating just below the largest size.
size_t RoundedToPages(size_t bytes) {
    const size_t page = platform::PageBytes();
    return bytes > SIZE_MAX - page ? SIZE_MAX / page * page : (bytes + page - 1) / page * page;
}

// Regions of trees that went, kept for the next parse: parsing large texts again and
// again then costs no page faults and no zeroing of fresh pages. Process-wide and small,
// so that what it keeps stays small whatever the threads do.
class RegionStock {
  public:
    // Regions from this size up to the most the stock keeps are backed by huge pages
    // where the kernel can: a large tree is walked with fewer translation misses, and the
    // stock spreads the cost of first touching them over the parses that reuse them.
    // Below it a huge page would make more resident than the tree holds; above it, as
    // measured, the first touch of fresh huge pages costs a parse more than it saves.
    static constexpr size_t kLeastHugeRegion = size_t{8} << 20;
    static constexpr size_t kMostBytes = size_t{16} << 20;

    // A region of at least `bytes` (a multiple of pages), its size in `bytes`; null when
    // the kernel refuses.
    void* Take(size_t& bytes) {
        void* block = nullptr;
        size_t held = 0;
        {
            m_lock.Lock();
            size_t chosen = kCount;
            for (size_t i = 0; i < kCount; ++i) {
                if (m_regions[i].block == nullptr) {
                    continue;
                }
                // The smallest that is large enough, or else the largest, to be grown.
                const bool fits = m_regions[i].bytes >= bytes;
                if (chosen == kCount || (fits ? m_regions[chosen].bytes < bytes ||
                                                    m_regions[i].bytes < m_regions[chosen].bytes
                                              : m_regions[chosen].bytes < bytes &&
                                                    m_regions[i].bytes > m_regions[chosen].bytes)) {
                    chosen = i;
                }
            }
            if (chosen != kCount) {
                block = std::exchange(m_regions[chosen].block, nullptr);
                held = m_regions[chosen].bytes;
                m_bytes -= held;
            }
            m_lock.Unlock();
        }
        if (block != nullptr && held >= bytes) {
            bytes = held;
            return block;
        }
        if (block != nullptr) {
            if (void* grown = platform::GrowPages(block, held, bytes)) {
                return grown;
            }
            platform::UnmapPages(block, held);
        }
        void* mapped = platform::MapPages(bytes);
        if (mapped != nullptr && bytes >= kLeastHugeRegion && bytes <= kMostBytes) {
            platform::AdviseHugePages(mapped, bytes);
        }
        return mapped;
    }

    void Give(void* block, size_t bytes) {
        void* dropped = block;
        size_t droppedBytes = bytes;
        if (bytes <= kMostBytes) {
            m_lock.Lock();
            // The oldest goes first; one too large for what is left is not kept.
            while (m_bytes + bytes > kMostBytes || m_regions[m_next].block != nullptr) {
                Region& oldest = m_regions[m_next];
                if (oldest.block == nullptr) {
                    m_next = (m_next + 1) % kCount;
                    continue;
                }
                m_bytes -= oldest.bytes;
                platform::UnmapPages(std::exchange(oldest.block, nullptr), oldest.bytes);
            }
            m_regions[m_next] = Region{block, bytes};
            m_next = (m_next + 1) % kCount;
            m_bytes += bytes;
            dropped = nullptr;
            m_lock.Unlock();
        }
        if (dropped != nullptr) {
            platform::UnmapPages(dropped, droppedBytes);
        }
    }

  private:
    struct Region {
        void* block = nullptr;
        size_t bytes = 0;
    };
    static constexpr size_t kCount = 4;

    platform::LockWord m_lock;  // guards what follows
    Region m_regions[kCount];
    size_t m_next = 0;
    size_t m_bytes = 0;
};

RegionStock& Regions() {
    static RegionStock* const stock = new RegionStock;  // never destroyed: used at exit
    return *stock;
}

// A first block, sized by the measure of its tree, is kept for the next parse, which
// is likely to measure about the same; blocks that a tree grew into are not.
void FreeBlock(void* block, size_t bytes, bool fromKernel, bool first) {
#if defined(QAV_JSON_ARENA_POISONS)
    // The sanitizer's marks would outlive the memory, which may come back to anyone.
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
#endif
    if (fromKernel && first) {
        Regions().Give(block, bytes);
    } else if (fromKernel) {
        platform::UnmapPages(block, bytes);
    } else {
        ::operator delete(block);
    }
}

bool Within(const void* at, const void* start, size_t bytes) {
    const auto address = reinterpret_cast<uintptr_t>(at);
    const auto begin = reinterpret_cast<uintptr_t>(start);
    return address >= begin && address - begin < bytes;
}

}  // namespace

JsonArena* JsonArena::ForTree(size_t expectedBytes) {
    const size_t record = Rounded(sizeof(JsonArena));
    size_t bytes = record + std::min(expectedBytes, kLargestFirstRegion);
    void* block = nullptr;
    bool fromKernel = false;
    if (bytes > kLargestHeapBytes) {
        bytes = RoundedToPages(bytes);
        block = Regions().Take(bytes);
        fromKernel = block != nullptr;
    }
    if (block == nullptr) {
        // Refused by the kernel: the heap's most, the rest in blocks as they are needed.
        bytes = std::min(bytes, kLargestHeapBytes);
        block = ::operator new(bytes);
    }
    return new (block) JsonArena(bytes, fromKernel);
}

JsonArena::JsonArena(size_t firstBytes, bool firstFromKernel)
    : m_firstFromKernel(firstFromKernel), m_firstBytes(firstBytes), m_taken(firstBytes) {
    char* const base = reinterpret_cast<char*>(this);
    m_start = base + Rounded(sizeof(JsonArena));
    m_cursor = m_start;
    m_limit = base + firstBytes;
}

bool JsonArena::OwnsLater(const void* block) const {
    for (const Block* next = m_blocks; next != nullptr; next = next->next) {
        if (Within(block, next, next->bytes)) {
            return true;
        }
    }
    return false;
}

size_t JsonArena::HeldBytes() const {
    size_t bytes = m_firstBytes;
    for (const Block* next = m_blocks; next != nullptr; next = next->next) {
        bytes += next->bytes;
    }
    return bytes;
}

void* JsonArena::AllocateElsewhere(size_t bytes) {
    if (!m_open) {
        return ::operator new(bytes);
    }
    const size_t head = Rounded(sizeof(Block));
    const size_t rounded = Rounded(bytes);
    if (rounded > SIZE_MAX / 2 - head) {
        throw std::bad_alloc();
    }
    // Each block as large as all before it, so that a tree larger than was measured
    // takes few of them; a request at least that large gets a block of its own, and the
    // current block goes on serving the small ones.
    const size_t growth = std::min(m_taken, kLargestGrowth);
    const bool ownBlock = rounded + head >= growth;
    size_t wanted = ownBlock ? rounded + head : growth;
    const bool fromKernel = m_taken + wanted > kLargestHeapBytes;
    void* memory = nullptr;
    if (fromKernel) {
        // A region the kernel refuses is asked for again at half the size, as long as
        // the request fits: the heap, asked last, keeps what it maps for good.
        const size_t least = RoundedToPages(std::max(rounded + head, kLeastRegion));
        for (wanted = RoundedToPages(wanted);; wanted = RoundedToPages(wanted / 2)) {
            memory = Regions().Take(wanted);
            if (memory != nullptr || wanted / 2 < least) {
                break;
            }
        }
        if (memory == nullptr) {
            return ::operator new(bytes);
        }
    } else {
        memory = ::operator new(wanted);
    }
    Block* const block = new (memory) Block{m_blocks, wanted, fromKernel};
    m_blocks = block;
    m_taken += wanted;
    char* const start = static_cast<char*>(memory) + head;
    if (ownBlock) {
        m_used += rounded;
        return start;
    }
    TrimCurrent();
    m_used += static_cast<size_t>(m_cursor - m_start);
    m_current = block;
    m_start = start;
    m_cursor = start + rounded;
    m_limit = static_cast<char*>(memory) + wanted;
    return start;
}

void JsonArena::TrimCurrent() noexcept {
    const bool fromKernel = m_current != nullptr ? m_current->fromKernel : m_firstFromKernel;
    if (!fromKernel) {
        return;
    }
    const auto end = reinterpret_cast<uintptr_t>(m_limit);
    const size_t page = platform::PageBytes();
    const uintptr_t kept = (reinterpret_cast<uintptr_t>(m_cursor) + page - 1) / page * page;
    if (kept >= end) {
        return;
    }
    platform::UnmapPages(reinterpret_cast<void*>(kept), end - kept);
    size_t& bytes = m_current != nullptr ? m_current->bytes : m_firstBytes;
    bytes -= end - kept;
    m_limit = reinterpret_cast<char*>(kept);
}

void JsonArena::Destroy() {
    for (Block* block = m_blocks; block != nullptr;) {
        Block* const next = block->next;
        FreeBlock(block, block->bytes, block->fromKernel, false);
        block = next;
    }
    const size_t firstBytes = m_firstBytes;
    const bool firstFromKernel = m_firstFromKernel;
    this->~JsonArena();
    FreeBlock(this, firstBytes, firstFromKernel, true);
}

void JsonArena::TakeStock() {
    m_references.fetch_add(kStockSize, std::memory_order_relaxed);
    m_stock = kStockSize;
}

void JsonArena::Seal() noexcept {
    m_open = false;
    TrimCurrent();
    const int64_t stock = m_stock;
    m_stock = 0;
    if (stock != 0) {
        ReleaseNow(stock);
    }
}

}  // namespace qav
