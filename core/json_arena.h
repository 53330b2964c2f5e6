// The memory of one JSON tree: its nodes, their texts, member names and the blocks of
// its containers come from chunks that the tree's arena owns, instead of one heap call
// each. A parse makes a new arena for a new tree; members, elements and texts set into
// the tree later take their memory from the same arena, and what they replace goes back
// to its free lists for the next, so a tree edited for as long as a process runs does
// not grow.
//
// An arena is counted: every node made in it, and every allocator (so every container
// and member name) that uses it, holds a reference. The arena dies with the last of
// them and gives all of its chunks back at once. No thread and no other tree keeps
// anything of it: a value that leaves the tree keeps the arena alive for as long as it
// lives, and then it goes too.
//
// Blocks of up to kLargestPooled bytes come from the chunks and return to free lists by
// size class; larger ones (long texts, the element blocks of long arrays) go straight
// to the heap. Chunks double from a few KiB while they come from the heap, so a message
// takes one or two; a tree that outgrows them takes huge-page chunks straight from the
// kernel, which a large tree faults in a page per 2 MiB and which go back to the kernel
// whole when the tree dies, whatever the heap of the thread that parsed it does.
//
// Under the address sanitizer, free blocks and the unused rest of chunks are poisoned,
// so a use of a freed node is reported even though its memory stays in the arena.
//
// Threads: the count and the free lists are plain, like the counts of the values, so an
// arena, like the tree it holds, belongs to one thread at a time. A tree's every value
// counts once in it: an atomic count would cost a parse more than its memory does.
#pragma once

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
    static constexpr size_t kLargestPooled = 1024;
    // Blocks are sized and aligned in steps of 8 bytes: nothing in a tree needs more.
    static constexpr size_t kGranule = 8;

    // No reference is held yet: the first holder adds one (RefPtr).
    JsonArena() = default;
    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;

    void AddRef() { ++m_references; }
    void Release() {
        if (--m_references == 0) {
            Destroy();
        }
    }

    // Inline: a parse calls these for every node, name, text and container.
    void* Allocate(size_t bytes) {
        if (bytes > kLargestPooled) {
            return ::operator new(bytes);
        }
        const size_t sizeClass = ClassOf(bytes);
        const size_t rounded = (sizeClass + 1) * kGranule;
        if (FreeBlock* block = m_free[sizeClass]) {
            Unpoison(block, rounded);
            m_free[sizeClass] = block->next;
            return block;
        }
        if (static_cast<size_t>(m_limit - m_cursor) < rounded) {
            NewChunk();
        }
        void* block = m_cursor;
        m_cursor += rounded;
        Unpoison(block, rounded);
        return block;
    }

    // `bytes` is what was asked of Allocate.
    void Free(void* block, size_t bytes) noexcept {
        if (bytes > kLargestPooled) {
            ::operator delete(block);
        } else if (block != nullptr) {
            const size_t sizeClass = ClassOf(bytes);
            FreeBlock* freed = static_cast<FreeBlock*>(block);
            freed->next = m_free[sizeClass];
            m_free[sizeClass] = freed;
            Poison(block, (sizeClass + 1) * kGranule);
        }
    }

    // A tree of about `bytes` is about to be built: the chunks grow at once to what such
    // a tree needs instead of doubling their way there.
    void ExpectBytes(size_t bytes);

    // What the arena's chunks hold together.
    size_t HeldBytes() const { return m_heldBytes; }

  private:
    static constexpr size_t kClasses = kLargestPooled / kGranule;
    static constexpr size_t kFirstChunkBytes = 4096;
    // The largest chunk taken from the heap. Kept below the C library's threshold for
    // blocks of their own: its heaps, one per thread, give back freed memory only from
    // their top, so a heap chunk may stay resident after the tree.
    static constexpr size_t kLargestHeapChunkBytes = size_t{64} << 10;
    static constexpr size_t kHugeChunkBytes = size_t{2} << 20;

    // Each chunk begins with this; the list lets the arena give them all back.
    struct Chunk {
        Chunk* previous;
        size_t bytes;
        bool hugePages;
    };
    static constexpr size_t kChunkHeaderBytes =
        (sizeof(Chunk) + kGranule - 1) / kGranule * kGranule;

    struct FreeBlock {
        FreeBlock* next;
    };

    // Only through Release: every holder is gone then.
    ~JsonArena();
    // Out of line, where the compiler does not take the temporary references of the
    // containers it inlines for the last ones.
    [[gnu::noinline]] void Destroy();

    // Size 0 shares the smallest class.
    static size_t ClassOf(size_t bytes) {
        return bytes == 0 ? 0 : (bytes + kGranule - 1) / kGranule - 1;
    }

    static void Poison([[maybe_unused]] void* block, [[maybe_unused]] size_t bytes) {
#if defined(QAV_JSON_ARENA_POISONS)
        ASAN_POISON_MEMORY_REGION(block, bytes);
#endif
    }
    static void Unpoison([[maybe_unused]] void* block, [[maybe_unused]] size_t bytes) {
#if defined(QAV_JSON_ARENA_POISONS)
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
#endif
    }

    // Starts a new chunk; the rest of the old one, smaller than the block asked for, is
    // left unused.
    void NewChunk();

    int64_t m_references = 0;
    FreeBlock* m_free[kClasses] = {};
    char* m_cursor = nullptr;  // the unused rest of the newest chunk
    char* m_limit = nullptr;
    size_t m_nextChunkBytes = kFirstChunkBytes;
    Chunk* m_newestChunk = nullptr;
    size_t m_heldBytes = 0;
};

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
