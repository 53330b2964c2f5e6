// The memory of one XML document's tree: nodes, attribute entries, child lists and the
// strings of names, values and texts come from chunks owned by the document instead of
// one heap call each, so that a parse allocates in chunks and a destroyed tree hands its
// blocks back for the next.
//
// Blocks of up to kLargestPooled bytes are kept on free lists by size class; larger
// requests go to the heap. Memory goes back to the heap only when the pool dies, so a
// document holds at most what its largest trees (the old one and the one being parsed
// aside) needed at once.
//
// A pool belongs to one document and is used by one thread at a time, like the tree.
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

    XmlPool() = default;
    ~XmlPool();
    XmlPool(const XmlPool&) = delete;
    XmlPool& operator=(const XmlPool&) = delete;

    // Inline: a parse calls these for every node, attribute and string.
    void* Allocate(size_t bytes) {
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
    void Free(void* block, size_t bytes) {
        if (block != nullptr) {
            FreeBlock* freed = static_cast<FreeBlock*>(block);
            const size_t sizeClass = ClassOf(bytes);
            freed->next = m_free[sizeClass];
            m_free[sizeClass] = freed;
        }
    }

  private:
    static constexpr size_t kGranule = 16;
    static constexpr size_t kClasses = kLargestPooled / kGranule;

    struct FreeBlock {
        FreeBlock* next;
    };

    // Size 0 shares the smallest class.
    static size_t ClassOf(size_t bytes) {
        return bytes == 0 ? 0 : (bytes + kGranule - 1) / kGranule - 1;
    }
    // Starts a new chunk; the rest of the old one, smaller than the block asked for, is
    // left unused.
    void NewChunk();

    FreeBlock* m_free[kClasses] = {};
    char* m_cursor = nullptr;  // the unused rest of the newest chunk
    char* m_limit = nullptr;
    size_t m_nextChunkBytes = 4096;
    std::vector<void*> m_chunks;
};

// A standard allocator over a document's pool; without a pool it is the plain heap.
// A container copied from one that uses a pool gets the plain heap, so a copy may
// outlive the document.
template <typename T>
class XmlPoolAllocator {
  public:
    using value_type = T;
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
        if (m_pool != nullptr && bytes <= XmlPool::kLargestPooled && alignof(T) <= 16) {
            return static_cast<T*>(m_pool->Allocate(bytes));
        }
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* block, size_t count) noexcept {
        const size_t bytes = count * sizeof(T);
        if (m_pool != nullptr && bytes <= XmlPool::kLargestPooled && alignof(T) <= 16) {
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
