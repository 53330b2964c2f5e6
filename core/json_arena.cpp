#include "core/json_arena.h"

#include <algorithm>

#include "platform/huge_pages.h"

namespace qav {

namespace {

// The most a tree takes for each unit of its text, with the blocks the parse frees as
// containers grow: dense text such as "[1,2,3,...]" makes a node and a handle for every
// two units. A tree that takes more goes on in the heap.
constexpr size_t kRegionBytesPerUnit = 40;
// Beyond this the kernel is not asked for more at once; the rest of the tree is the heap's.
constexpr size_t kLargestRegionBytes = size_t{1} << 30;

}  // namespace

JsonArena* JsonArena::ForText(size_t textUnits) {
    const size_t wanted =
        std::min(textUnits, kLargestRegionBytes / kRegionBytesPerUnit) * kRegionBytesPerUnit;
    const size_t bytes = (wanted + platform::kHugePageBytes - 1) / platform::kHugePageBytes *
                         platform::kHugePageBytes;
    void* region = platform::AllocateHugePages(bytes);
    if (region == nullptr) {
        return nullptr;
    }
    return new JsonArena(static_cast<char*>(region), bytes);
}

JsonArena::~JsonArena() {
#if defined(QAV_JSON_ARENA_POISONS)
    // The sanitizer's marks would outlive the memory: pages the kernel takes back may
    // come again at the same address for someone else.
    ASAN_UNPOISON_MEMORY_REGION(m_region, UsedBytes());
#endif
    platform::FreeHugePages(m_region, m_regionBytes);
}

void JsonArena::Destroy() {
    delete this;
}

void JsonArena::TakeStock() {
    m_references.fetch_add(kStockSize, std::memory_order_relaxed);
    m_stock = kStockSize;
}

void JsonArena::Seal() {
    m_open = false;
    const int64_t stock = m_stock;
    m_stock = 0;
    if (stock != 0) {
        ReleaseNow(stock);
    }
}

}  // namespace qav
