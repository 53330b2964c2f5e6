// Short vectors of pointers that live inside their owner without a heap allocation as
// long as they stay short.
//
// SmallBufferAllocator hands out its inline buffer to the first request that fits and
// heap storage otherwise. It is not a standard allocator on purpose: a std::vector that
// is moved takes its storage along, which would leave it pointing into the inline buffer
// of the allocator it came from. SmallBufferVector is therefore its own small class that
// copies inline elements when it is moved.
//
// Typical usage:
//   SmallBufferVector<Listener*> listeners;    // up to 9 without an allocation
//   listeners.push_back(listener);
//
// Threads: none of their own; the owner guards them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

namespace qav {

template <typename T, size_t N = 5>
class SmallBufferAllocator {
    static_assert(std::is_trivially_copyable_v<T>, "for pointers and plain values");

  public:
    SmallBufferAllocator() = default;
    // The inline buffer belongs to its owner: it is neither copied nor moved.
    SmallBufferAllocator(const SmallBufferAllocator&) = delete;
    SmallBufferAllocator& operator=(const SmallBufferAllocator&) = delete;

    // The inline buffer when n fits and it is free (it becomes in use), else heap storage.
    T* allocate(size_t n) {
        if (n <= N && !m_inUse) {
            m_inUse = true;
            return reinterpret_cast<T*>(m_buffer);
        }
        return std::allocator<T>().allocate(n);
    }

    // `n` is the count given to allocate.
    void deallocate(T* storage, size_t n) {
        if (IsInline(storage)) {
            m_inUse = false;
        } else if (storage != nullptr) {
            std::allocator<T>().deallocate(storage, n);
        }
    }

    bool IsInline(const T* storage) const {
        return storage == reinterpret_cast<const T*>(m_buffer);
    }
    static constexpr size_t InlineCapacity() { return N; }

  private:
    alignas(T) unsigned char m_buffer[N * sizeof(T)];
    bool m_inUse = false;
};

// A vector of trivially copyable elements (pointers) with room for N of them inline.
template <typename T, size_t N = 9>
class SmallBufferVector {
  public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    SmallBufferVector() = default;
    SmallBufferVector(const SmallBufferVector& other) { Append(other.m_first, other.size()); }
    SmallBufferVector(SmallBufferVector&& other) noexcept { TakeFrom(other); }
    ~SmallBufferVector() { FreeStorage(); }

    SmallBufferVector& operator=(const SmallBufferVector& other) {
        if (this != &other) {
            clear();
            Append(other.m_first, other.size());
        }
        return *this;
    }
    SmallBufferVector& operator=(SmallBufferVector&& other) noexcept {
        if (this != &other) {
            FreeStorage();
            TakeFrom(other);
        }
        return *this;
    }

    size_t size() const { return static_cast<size_t>(m_last - m_first); }
    size_t capacity() const { return static_cast<size_t>(m_end - m_first); }
    bool empty() const { return m_first == m_last; }
    T* data() { return m_first; }
    const T* data() const { return m_first; }
    T* begin() { return m_first; }
    T* end() { return m_last; }
    const T* begin() const { return m_first; }
    const T* end() const { return m_last; }
    T& operator[](size_t index) { return m_first[index]; }
    const T& operator[](size_t index) const { return m_first[index]; }
    T& front() { return *m_first; }
    T& back() { return m_last[-1]; }

    void push_back(const T& value) {
        if (m_last == m_end) {
            const T copy = value;  // `value` may live in the storage about to move
            Grow(size() + 1);
            *m_last++ = copy;
        } else {
            *m_last++ = value;
        }
    }
    void pop_back() { --m_last; }
    // Keeps the order of the rest; returns the position after the removed element.
    T* erase(T* position) {
        std::memmove(position, position + 1,
                     static_cast<size_t>(m_last - position - 1) * sizeof(T));
        --m_last;
        return position;
    }
    void clear() { m_last = m_first; }
    void reserve(size_t count) {
        if (count > capacity()) {
            Grow(count);
        }
    }

    // Gives the storage back (the inline buffer becomes free) and leaves the vector empty.
    void FreeStorage() {
        if (m_first != nullptr) {
            m_allocator.deallocate(m_first, capacity());
        }
        m_first = m_last = m_end = nullptr;
    }

  private:
    void Grow(size_t needed) {
        const size_t newCapacity = std::max({needed, 2 * capacity(), N});
        T* storage = m_allocator.allocate(newCapacity);
        const size_t count = size();
        if (count > 0) {
            std::memcpy(storage, m_first, count * sizeof(T));
        }
        FreeStorage();
        m_first = storage;
        m_last = storage + count;
        m_end = storage + newCapacity;
    }

    void Append(const T* values, size_t count) {
        reserve(size() + count);
        if (count > 0) {
            std::memcpy(m_last, values, count * sizeof(T));
        }
        m_last += count;
    }

    // REQUIRES: this holds no storage.
    void TakeFrom(SmallBufferVector& other) {
        if (other.m_allocator.IsInline(other.m_first)) {
            Append(other.m_first, other.size());
            other.clear();
        } else {
            m_first = std::exchange(other.m_first, nullptr);
            m_last = std::exchange(other.m_last, nullptr);
            m_end = std::exchange(other.m_end, nullptr);
        }
    }

    SmallBufferAllocator<T, N> m_allocator;
    T* m_first = nullptr;
    T* m_last = nullptr;
    T* m_end = nullptr;
};

}  // namespace qav
