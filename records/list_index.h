// The records' one bounds check: an index as a caller or a peer gives it (signed, so it may be
// negative or beyond any list) against the list it is meant for. Every access to a list, or to a
// table by a type read from outside, by such an index goes through it.
//
// Typical usage:
//   if (const ImageSize* size = EntryAt(m_imageSizes, index)) { ... }
//   if (!IndexInList(index, m_inputPorts.size())) return false;
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav {

// Whether `index` names one of `size` entries.
constexpr bool IndexInList(int32_t index, size_t size) {
    return index >= 0 && static_cast<size_t>(index) < size;
}

// The entry `index` of a vector or an array; null when the index names none.
template <typename List>
constexpr auto EntryAt(List& list, int32_t index) -> decltype(list.data()) {
    return IndexInList(index, list.size()) ? list.data() + index : nullptr;
}

}  // namespace qav
