// A snapshot of reference-counted objects: each element holds one reference, given back by
// ReleaseAll or the destructor. Loops that call out into the objects run over such a copy,
// taken under the owner's lock and used after it is let go. Up to N elements live inline,
// so the usual snapshot of a handful of addresses or listeners allocates nothing.
//
// Typical usage:
//   ReferenceVector<AddressConnection> members;
//   set.ToVector(members);            // under the set's lock
//   for (AddressConnection* member : members) member->Disconnect();
//
// Threads: none of its own; one thread uses a vector at a time.
#pragma once

#include <cstddef>
#include <utility>

#include "core/small_buffer.h"

namespace qav {

template <typename T, size_t N = 3>
class ReferenceVector {
  public:
    ReferenceVector() = default;
    ReferenceVector(ReferenceVector&& other) noexcept : m_items(std::move(other.m_items)) {}
    ReferenceVector& operator=(ReferenceVector&& other) noexcept {
        if (this != &other) {
            ReleaseAll();
            m_items = std::move(other.m_items);
        }
        return *this;
    }
    ReferenceVector(const ReferenceVector&) = delete;
    ReferenceVector& operator=(const ReferenceVector&) = delete;
    ~ReferenceVector() { ReleaseAll(); }

    // Adds a reference to `object` (not null) and appends it.
    void Append(T* object) {
        object->AddRef();
        m_items.push_back(object);
    }
    // Appends `object` taking over a reference the caller already holds.
    void AppendAdopted(T* object) { m_items.push_back(object); }

    // Releases every element and empties the vector. The releases run after the vector is
    // emptied, so an element that dies here and calls back finds it consistent.
    void ReleaseAll() {
        SmallBufferVector<T*, N> items = std::move(m_items);
        m_items.clear();
        for (T* object : items) {
            object->Release();
        }
    }

    void reserve(size_t count) { m_items.reserve(count); }
    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    T* operator[](size_t index) const { return m_items[index]; }
    T* const* begin() const { return m_items.begin(); }
    T* const* end() const { return m_items.end(); }

  private:
    SmallBufferVector<T*, N> m_items;
};

}  // namespace qav
