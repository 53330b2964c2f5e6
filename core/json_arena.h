// The memory of the tree a parse builds: while the parse runs, its nodes, texts, member
// names and container blocks are cut one after the other from blocks of the arena,
// instead of one heap call each, and when the last of them goes the blocks go too.
//
// The blocks follow what the tree takes, not the length of its text. The parse measures
// the tree its text will make before it asks for the first block (a quick pass that
// counts values, members and string units), so a small tree takes one heap block of
// about its own size. Should the tree take more, further blocks follow, each as large as
// all before it. What goes beyond kLargestHeapBytes comes in regions of pages from the
// kernel, which it gets back whole when the tree goes, whatever the heap of the thread
// that parsed would have kept; the untouched end of a region is given back as soon as
// the arena moves on from it or is sealed, so a tree holds, resident and as address
// space, about what it uses.
//
// Once the parse is done the arena is sealed: blocks asked of it then come from the
// heap, and blocks it gave out are not reused when freed. A tree edited for a long time
// thus holds at most what its parse took, plus what its edits hold on the heap.
//
// An arena is counted: every node made in it, and every allocator (so every container
// and member name) that uses it, holds a reference. While the parse runs, on its one
// thread, references are handed out from a stock taken from the count in bulk; once the
// arena is sealed the count is atomic, so that values of one tree, used each on its own
// thread, may drop their references at once.
//
// Under the address sanitizer, freed blocks are poisoned, so a use of a freed node is
// reported even though its memory stays in the arena.
//
// Threads: the parse that makes an arena uses it alone until it seals it. After that
// Allocate, Free and the count may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>

#include "core/wide_text.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QAV_JSON_ARENA_POISONS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(QAV_JSON_ARENA_POISONS)
#define QAV_JSON_ARENA_POISONS 1
#endif
#if defined(QAV_JSON_ARENA_POISONS)
#include <sanitizer/asan_interface.h>
#endif

namespace qav {

class JsonArena {
  public:
    // Blocks are sized and aligned in steps of 8 bytes: nothing in a tree needs more.
    static constexpr size_t kGranule = 8;
    // The most an arena takes from the heap; beyond it, regions of pages. Small enough
    // that what a thread's heap keeps of the trees it parsed stays small.
    static constexpr size_t kLargestHeapBytes = size_t{1} << 20;

    // An open arena whose first block holds `expectedBytes` of blocks; its own record
    // sits at the start of that block. Throws bad_alloc when the heap has no room. No
    // reference is held yet: the first holder adds one (RefPtr).
    static JsonArena* ForTree(size_t expectedBytes);

    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;

    void AddRef() {
        if (m_open) {
            if (m_stock == 0) {
                TakeStock();
            }
            --m_stock;
        } else {
            m_references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Inline: a tree that is dropped releases once for every node, name and container.
    inline void Release();

    // Inline: a parse calls this for every node, name, text and container.
    void* Allocate(size_t bytes) {
        const size_t rounded = Rounded(bytes);
        if (m_open && static_cast<size_t>(m_limit - m_cursor) >= rounded) {
            void* block = m_cursor;
            m_cursor += rounded;
            return block;
        }
        return AllocateElsewhere(bytes);
    }

    // `bytes` is what was asked of Allocate.
    void Free(void* block, size_t bytes) noexcept {
        if (Owns(block)) {
            Poison(block, Rounded(bytes));
        } else {
            ::operator delete(block);
        }
    }

    // Free for a block known to be the arena's (a node made in it).
    void FreeOwned([[maybe_unused]] void* block, [[maybe_unused]] size_t bytes) noexcept {
        Poison(block, Rounded(bytes));
    }

    bool IsOpen() const { return m_open; }
    // The parse is done: the untouched end of the last region goes back to the kernel,
    // blocks come from the heap from now on, and the count is atomic. Called by the
    // thread that parsed, which still holds a reference.
    void Seal() noexcept;

    // Inline: a dropped tree asks this for every name and container it frees, nearly
    // always of the first block.
    bool Owns(const void* block) const {
        const auto address = reinterpret_cast<uintptr_t>(block);
        const auto first = reinterpret_cast<uintptr_t>(this);
        return (address >= first && address - first < m_firstBytes) ||
               (m_blocks != nullptr && OwnsLater(block));
    }
    // What the tree took of the blocks, and what the blocks hold in all (the arena's own
    // record and the untouched ends that were not given back included).
    size_t UsedBytes() const { return m_used + static_cast<size_t>(m_cursor - m_start); }
    size_t HeldBytes() const;

  private:
    friend class JsonArenaReleases;

    // The head of every block but the first, whose place the arena's record takes.
    struct Block {
        Block* next;
        size_t bytes;
        bool fromKernel;
    };

    // References taken from the count at a time while the arena is open.
    static constexpr int64_t kStockSize = 4096;

    JsonArena(size_t firstBytes, bool firstFromKernel);
    // Only through Release: every holder is gone then.
    ~JsonArena() = default;
    [[gnu::noinline]] void Destroy();
    [[gnu::noinline]] void TakeStock();
    // A block that the current one has no room for: from a new block of the arena, or
    // from the heap once sealed or when the kernel refuses a region.
    [[gnu::noinline]] void* AllocateElsewhere(size_t bytes);
    // Whether a block after the first holds `block`.
    bool OwnsLater(const void* block) const;
    // Gives back the untouched whole pages at the end of the current block, when it is
    // a region.
    void TrimCurrent() noexcept;
    void ReleaseNow(int64_t count) {
        if (m_references.fetch_sub(count, std::memory_order_acq_rel) == count) {
            Destroy();
        }
    }

    // Size 0 takes one granule, so that every block has an address of its own.
    static size_t Rounded(size_t bytes) {
        return bytes == 0 ? kGranule : (bytes + kGranule - 1) / kGranule * kGranule;
    }

    static void Poison([[maybe_unused]] void* block, [[maybe_unused]] size_t bytes) {
#if defined(QAV_JSON_ARENA_POISONS)
        ASAN_POISON_MEMORY_REGION(block, bytes);
#endif
    }

    // Every holder's reference, and while open the stock not yet handed out.
    std::atomic<int64_t> m_references{0};
    int64_t m_stock = 0;  // only while open
    bool m_open = true;
    const bool m_firstFromKernel;
    size_t m_firstBytes;         // less once its untouched end went back
    Block* m_blocks = nullptr;   // the blocks after the first, the newest first
    Block* m_current = nullptr;  // null for the first block
    // The current block: where it starts (after its head), the next free byte, its end.
    char* m_start;
    char* m_cursor;  // written only while open
    char* m_limit;
    size_t m_used = 0;  // what the tree took of the blocks before the current one
    size_t m_taken;     // what all blocks hold, to size the next one
};

// While one lives, the releases that this thread makes of sealed arenas are counted and
// made when it goes, or when a release of another arena comes: dropping a large tree
// changes its arena's count once, not once for every node, name and container. The
// arena stays until then, kept by the releases not yet made. Scopes nest.
class JsonArenaReleases {
  public:
    JsonArenaReleases() : m_outer(t_innermost) { t_innermost = this; }
    ~JsonArenaReleases() {
        Flush();
        t_innermost = m_outer;
    }
    JsonArenaReleases(const JsonArenaReleases&) = delete;
    JsonArenaReleases& operator=(const JsonArenaReleases&) = delete;

    // Null when no scope lives on this thread.
    static JsonArenaReleases* Innermost() { return t_innermost; }

    void Add(JsonArena* arena) {
        if (arena != m_arena) {
            Flush();
            m_arena = arena;
        }
        ++m_count;
    }

  private:
    void Flush() {
        if (m_count != 0) {
            const int64_t count = m_count;
            m_count = 0;
            m_arena->ReleaseNow(count);
        }
    }

    static inline thread_local JsonArenaReleases* t_innermost = nullptr;

    JsonArenaReleases* const m_outer;
    JsonArena* m_arena = nullptr;
    int64_t m_count = 0;
};

void JsonArena::Release() {
    if (m_open) {
        ++m_stock;
    } else if (JsonArenaReleases* releases = JsonArenaReleases::Innermost()) {
        releases->Add(this);
    } else {
        ReleaseNow(1);
    }
}

// A standard allocator over an arena, holding a reference to it; without an arena it is
// the plain heap. A container copied from one that uses an arena gets the plain heap.
// Moving or swapping containers takes their allocators along, so every block is always
// given back to the arena it came from.
template <typename T>
class JsonArenaAllocator {
  public:
    using value_type = T;
    static_assert(alignof(T) <= JsonArena::kGranule, "the arena aligns blocks to its granule");
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    JsonArenaAllocator() noexcept = default;
    explicit JsonArenaAllocator(JsonArena* arena) noexcept : m_arena(arena) { Hold(); }
    JsonArenaAllocator(const JsonArenaAllocator& other) noexcept : m_arena(other.m_arena) {
        Hold();
    }
    template <typename U>
    JsonArenaAllocator(const JsonArenaAllocator<U>& other) noexcept : m_arena(other.GetArena()) {
        Hold();
    }
    JsonArenaAllocator& operator=(const JsonArenaAllocator& other) noexcept {
        JsonArena* old = m_arena;
        m_arena = other.m_arena;
        Hold();
        if (old != nullptr) {
            old->Release();
        }
        return *this;
    }
    ~JsonArenaAllocator() {
        if (m_arena != nullptr) {
            m_arena->Release();
        }
    }

    T* allocate(size_t count) {
        if (count > static_cast<size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const size_t bytes = count * sizeof(T);
        return static_cast<T*>(m_arena != nullptr ? m_arena->Allocate(bytes)
                                                  : ::operator new(bytes));
    }

    void deallocate(T* block, size_t count) noexcept {
        if (m_arena != nullptr) {
            m_arena->Free(block, count * sizeof(T));
        } else {
            ::operator delete(block);
        }
    }

    JsonArenaAllocator select_on_container_copy_construction() const {
        return JsonArenaAllocator();
    }

    JsonArena* GetArena() const { return m_arena; }

    template <typename U>
    bool operator==(const JsonArenaAllocator<U>& other) const {
        return m_arena == other.GetArena();
    }

  private:
    void Hold() {
        if (m_arena != nullptr) {
            m_arena->AddRef();
        }
    }

    JsonArena* m_arena = nullptr;
};

// Member names. They compare with and convert to WStringView.
using JsonString = std::basic_string<WChar, std::char_traits<WChar>, JsonArenaAllocator<WChar>>;

}  // namespace qav
