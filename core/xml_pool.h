// The memory of one XML document's tree: nodes, attribute entries, child lists and the
// strings of names, values and texts come from chunks owned by the document instead of
// one heap call each, so that a parse allocates in chunks and a destroyed subtree hands
// its blocks back for the next.
//
// Blocks of up to kLargestPooled bytes are kept on free lists by size class. Larger ones
// are heap blocks that the pool keeps in a list: Free gives one back at once, and the
// pool's death gives back those still held. So every byte of a tree belongs to the pool,
// and a tree that dies with its pool needs no walk at all. Chunks are given up only when
// the pool dies, so a document holds at most what its largest trees (the old one and the
// one being parsed aside) needed at once.
//
// Chunks double in size from a few KiB. Once a tree has outgrown the heap chunks it takes
// chunks of kMappedChunkBytes straight from the kernel, in small pages faulted in with
// one call: a large document then costs one call per chunk instead of a page fault per
// 4 KiB, and gives its memory back whole when it dies. Huge pages would cost fewer
// faults still, but they mostly land on memory untouched since the machine started, and
// filling that made a process's first large parse several times slower. The doubling
// keeps what is held at most about twice what the tree uses.
//
// Filling fresh pages still adds about half to a large parse, so a dying pool's
// mapped chunks are kept, up to kMostKeptBytes in the whole process, for the pools that
// come next, and the next pool to die gives back what was kept and not taken by then. A
// program that parses large documents one after another thus reuses warm memory, and
// any document dropped after a large one gives that memory back.
//
// A pool belongs to one document and is used by one thread at a time, like the tree. The
// kept chunks are shared by all pools, under a lock of their own; any thread may call
// KeptBytes.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "core/wide_text.h"

namespace qav {

class XmlPool {
  public:
    static constexpr size_t kLargestPooled = 1024;
    // Blocks are sized and aligned in steps of 8 bytes: nothing in a tree needs more, and
    // a node (168 bytes) would lose 8 bytes to rounding in steps of 16.
    static constexpr size_t kGranule = 8;

    XmlPool() = default;
    ~XmlPool();
    XmlPool(const XmlPool&) = delete;
    XmlPool& operator=(const XmlPool&) = delete;

    // Inline: a parse calls these for every node, attribute and string.
    void* Allocate(size_t bytes) {
        if (bytes > kLargestPooled) {
            return AllocateLarge(bytes);
        }
        const size_t sizeClass = ClassOf(bytes);
        if (FreeBlock* block = m_free[sizeClass]) {
            m_free[sizeClass] = block->next;
            return block;
        }
        const size_t rounded = (sizeClass + 1) * kGranule;
        if (static_cast<size_t>(m_limit - m_cursor) < rounded) {
            NewChunk();
        }
        void* block = m_cursor;
        m_cursor += rounded;
        return block;
    }

    // `bytes` is what was asked of Allocate.
    void Free(void* block, size_t bytes) noexcept {
        if (bytes > kLargestPooled) {
            FreeLarge(block, bytes);
        } else if (block != nullptr) {
            FreeBlock* freed = static_cast<FreeBlock*>(block);
            const size_t sizeClass = ClassOf(bytes);
            freed->next = m_free[sizeClass];
            m_free[sizeClass] = freed;
        }
    }

    // The bytes taken from the heap and not yet given back: the chunks and large blocks.
    size_t HeldBytes() const { return m_heldBytes; }

    // What the process keeps of dead pools' chunks for the pools to come.
    static size_t KeptBytes();

    // A tree of about `bytes` is about to be built: the chunks grow at once to what such
    // a tree needs instead of doubling their way there.
    void ExpectBytes(size_t bytes) {
        while (m_nextChunkBytes < kLargestChunkBytes && m_nextChunkBytes < bytes / 4) {
            m_nextChunkBytes *= 2;
        }
    }

    // Chunks double from the first to the largest: a message takes one or two, a large
    // file one per largest chunk instead of one heap block per string. The largest
    // chunks are mapped from the kernel, the others come from the heap.
    static constexpr size_t kFirstChunkBytes = 4096;
    static constexpr size_t kMappedChunkBytes = size_t{1} << 21;
    static constexpr size_t kLargestChunkBytes = kMappedChunkBytes;
    static_assert(kLargestChunkBytes % kFirstChunkBytes == 0);
    // Enough for the tree of a text of about 14 MB (the benchmark's 10 MB document takes
    // 46 MiB).
    static constexpr size_t kMostKeptBytes = 32 * kMappedChunkBytes;

  private:
    static constexpr size_t kClasses = kLargestPooled / kGranule;

    struct FreeBlock {
        FreeBlock* next;
    };
    // Put before each large block; 16 bytes, so the block keeps the heap's alignment.
    struct LargeBlock {
        LargeBlock* previous;
        LargeBlock* next;
    };

    // Size 0 shares the smallest class.
    static size_t ClassOf(size_t bytes) {
        return bytes == 0 ? 0 : (bytes + kGranule - 1) / kGranule - 1;
    }
    // Starts a new chunk; the rest of the old one, smaller than the block asked for, is
    // left unused.
    void NewChunk();
    void* AllocateLarge(size_t bytes);
    void FreeLarge(void* block, size_t bytes) noexcept;

    FreeBlock* m_free[kClasses] = {};
    char* m_cursor = nullptr;  // the unused rest of the newest chunk
    char* m_limit = nullptr;
    size_t m_nextChunkBytes = kFirstChunkBytes;
    std::vector<char*> m_heapChunks;
    std::vector<char*> m_mappedChunks;  // each of kMappedChunkBytes
    LargeBlock* m_large = nullptr;      // the newest; a list in both directions for FreeLarge
    size_t m_heldBytes = 0;
};

// A standard allocator over a document's pool; without a pool it is the plain heap.
// A container copied from one that uses a pool gets the plain heap, so a copy may
// outlive the document.
template <typename T>
class XmlPoolAllocator {
  public:
    using value_type = T;
    static_assert(alignof(T) <= XmlPool::kGranule, "the pool aligns blocks to its granule");
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::false_type;
    using propagate_on_container_swap = std::false_type;
    using is_always_equal = std::false_type;

    XmlPoolAllocator() noexcept = default;
    explicit XmlPoolAllocator(XmlPool* pool) noexcept : m_pool(pool) {}
    template <typename U>
    XmlPoolAllocator(const XmlPoolAllocator<U>& other) noexcept : m_pool(other.GetPool()) {}

    T* allocate(size_t count) {
        if (count > static_cast<size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const size_t bytes = count * sizeof(T);
        if (m_pool != nullptr) {
            return static_cast<T*>(m_pool->Allocate(bytes));
        }
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* block, size_t count) noexcept {
        const size_t bytes = count * sizeof(T);
        if (m_pool != nullptr) {
            m_pool->Free(block, bytes);
        } else {
            ::operator delete(block);
        }
    }

    XmlPoolAllocator select_on_container_copy_construction() const { return XmlPoolAllocator(); }

    XmlPool* GetPool() const { return m_pool; }

    template <typename U>
    bool operator==(const XmlPoolAllocator<U>& other) const {
        return m_pool == other.GetPool();
    }

  private:
    XmlPool* m_pool = nullptr;
};

// The strings of a tree. They compare with and convert to WStringView; a copy of one
// uses the heap, so it may outlive the document.
using XmlString = std::basic_string<WChar, std::char_traits<WChar>, XmlPoolAllocator<WChar>>;

}  // namespace qav
