// Searches over UTF-16 text for the XML parser and writer, eight units at a time where
// the processor allows: long runs of character data cost a few instructions per eight
// characters instead of a compare and branch per character.
//
// No state: any thread may call these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wide_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qav {

// '\0', '"', '&', '\'', '<' and '>': what the writer escapes.
inline bool IsXmlEscaped(WChar c) {
    constexpr uint64_t kEscaped = (uint64_t{1} << 0) | (uint64_t{1} << '"') | (uint64_t{1} << '&') |
                                  (uint64_t{1} << '\'') | (uint64_t{1} << '<') |
                                  (uint64_t{1} << '>');
    return c < 64 && ((kEscaped >> c) & 1) != 0;
}

namespace xml_scan_detail {

#if defined(__SSE2__)
inline int FirstSetUnit(__m128i matches) {
    // Two mask bits per 16-bit unit.
    return __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(matches))) / 2;
}
#endif

}  // namespace xml_scan_detail

// The index of the first `unit` at or after `from`, or text.size().
inline size_t FindXmlUnit(WStringView text, size_t from, WChar unit) {
    const WChar* data = text.data();
    const size_t size = text.size();
    size_t i = from;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi16(static_cast<short>(unit));
    for (; i + 8 <= size; i += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i matches = _mm_cmpeq_epi16(block, wanted);
        if (_mm_movemask_epi8(matches) != 0) {
            return i + xml_scan_detail::FirstSetUnit(matches);
        }
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == unit) {
            return i;
        }
    }
    return size;
}

// The index of the first `first` or `second` at or after `from`, or text.size().
inline size_t FindEitherXmlUnit(WStringView text, size_t from, WChar first, WChar second) {
    const WChar* data = text.data();
    const size_t size = text.size();
    size_t i = from;
#if defined(__SSE2__)
    const __m128i wantedFirst = _mm_set1_epi16(static_cast<short>(first));
    const __m128i wantedSecond = _mm_set1_epi16(static_cast<short>(second));
    for (; i + 8 <= size; i += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i matches =
            _mm_or_si128(_mm_cmpeq_epi16(block, wantedFirst), _mm_cmpeq_epi16(block, wantedSecond));
        if (_mm_movemask_epi8(matches) != 0) {
            return i + xml_scan_detail::FirstSetUnit(matches);
        }
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == first || data[i] == second) {
            return i;
        }
    }
    return size;
}

// The index of the first character that IsXmlEscaped at or after `from`, or text.size().
inline size_t FindXmlEscaped(WStringView text, size_t from) {
    const WChar* data = text.data();
    const size_t size = text.size();
    size_t i = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i quote = _mm_set1_epi16('"');
    const __m128i ampersand = _mm_set1_epi16('&');
    const __m128i apostrophe = _mm_set1_epi16('\'');
    const __m128i less = _mm_set1_epi16('<');
    const __m128i greater = _mm_set1_epi16('>');
    for (; i + 8 <= size; i += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i matches = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(block, zero), _mm_cmpeq_epi16(block, quote)),
                         _mm_or_si128(_mm_cmpeq_epi16(block, ampersand),
                                      _mm_cmpeq_epi16(block, apostrophe))),
            _mm_or_si128(_mm_cmpeq_epi16(block, less), _mm_cmpeq_epi16(block, greater)));
        if (_mm_movemask_epi8(matches) != 0) {
            return i + xml_scan_detail::FirstSetUnit(matches);
        }
    }
#endif
    for (; i < size; ++i) {
        if (IsXmlEscaped(data[i])) {
            return i;
        }
    }
    return size;
}

}  // namespace qav
