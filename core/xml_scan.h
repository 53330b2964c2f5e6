// Searches over UTF-16 text (and the UTF-8 text the parser also reads) for the XML
// parser and writer, sixteen bytes at a time where the processor allows: long runs of
// character data cost a few instructions per block instead of a compare and branch per
// character.
//
// No state: any thread may call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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
// The lanes of a 16-byte block equal to `c`: eight UTF-16 units or sixteen bytes.
inline __m128i EqualLanes(__m128i block, WChar c) {
    return _mm_cmpeq_epi16(block, _mm_set1_epi16(static_cast<short>(c)));
}
inline __m128i EqualLanes(__m128i block, char c) {
    return _mm_cmpeq_epi8(block, _mm_set1_epi8(c));
}

template <typename Char>
int FirstSetLane(__m128i matches) {
    // One mask bit per byte, so sizeof(Char) per lane.
    return __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(matches))) /
           static_cast<int>(sizeof(Char));
}
#endif

// The index of the first `first` or `second` at or after `from`, or `size`.
template <typename Char>
size_t FindEither(const Char* data, size_t size, size_t from, Char first, Char second) {
    size_t i = from;
#if defined(__SSE2__)
    constexpr size_t kLanes = 16 / sizeof(Char);
    for (; i + kLanes <= size; i += kLanes) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i matches = _mm_or_si128(EqualLanes(block, first), EqualLanes(block, second));
        if (_mm_movemask_epi8(matches) != 0) {
            return i + FirstSetLane<Char>(matches);
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

}  // namespace xml_scan_detail

// The index of the first `unit` at or after `from`, or text.size(). The UTF-8 forms
// serve the parse of UTF-8 text, whose markup is ASCII, sixteen bytes at a time.
inline size_t FindXmlUnit(WStringView text, size_t from, WChar unit) {
    return xml_scan_detail::FindEither(text.data(), text.size(), from, unit, unit);
}
inline size_t FindXmlUnit(std::string_view text, size_t from, char unit) {
    return xml_scan_detail::FindEither(text.data(), text.size(), from, unit, unit);
}

// The index of the first `first` or `second` at or after `from`, or text.size().
inline size_t FindEitherXmlUnit(WStringView text, size_t from, WChar first, WChar second) {
    return xml_scan_detail::FindEither(text.data(), text.size(), from, first, second);
}
inline size_t FindEitherXmlUnit(std::string_view text, size_t from, char first, char second) {
    return xml_scan_detail::FindEither(text.data(), text.size(), from, first, second);
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
            return i + xml_scan_detail::FirstSetLane<WChar>(matches);
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
