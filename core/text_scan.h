// Scanning text sixteen bytes at a time: the one place where text is classified,
// searched, widened and narrowed a block at a time, for UTF-16 units and bytes alike.
// Long runs of plain text then cost a few instructions per block instead of a compare
// and a branch per character.
//
// Every block step has a plain form (the *Plain functions), always compiled; the block
// steps use SSE2 where the processor has it, and the plain forms where it does not or
// where the build defines QAV_PORTABLE_SCAN. Both give the same results (NarrowBlock's
// for ASCII, which is all it is for), so the plain form is the reference the tests hold
// the fast one to.
//
// A block is 16 bytes: kScanLanes<Char> lanes (16 bytes or 8 units). Lane masks have
// one bit per lane, lane 0 the lowest.
//
// No state: any thread may call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/wide_text.h"

#if defined(__SSE2__) && !defined(QAV_PORTABLE_SCAN)
#define QAV_SCAN_SSE2 1
#include <emmintrin.h>
#endif

// A search that parsers call for every short string is inlined, its call costing as much
// as the search; not under a sanitizer, which cannot inline a function it is told to skip
// into one it watches.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QAV_SCAN_INLINE
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QAV_SCAN_INLINE
#endif
#endif
#if !defined(QAV_SCAN_INLINE)
#define QAV_SCAN_INLINE [[gnu::always_inline]] inline
#endif

namespace qav {

template <typename Char>
inline constexpr size_t kScanLanes = 16 / sizeof(Char);

// A set of characters to look for: every unit below `below`, every unit from 0x80 on
// when `nonAscii`, and up to six ASCII characters.
struct ScanSet {
    uint16_t below = 0;
    bool nonAscii = false;
    char chars[6] = {};
    int count = 0;
};

// Builds a ScanSet of the given ASCII characters.
template <typename... Chars>
constexpr ScanSet ScanSetOf(uint16_t below, bool nonAscii, Chars... chars) {
    static_assert(sizeof...(chars) <= 6, "a ScanSet holds six characters");
    ScanSet set;
    set.below = below;
    set.nonAscii = nonAscii;
    int i = 0;
    ((set.chars[i++] = chars), ...);
    set.count = i;
    return set;
}

// The set and every unit from 0x80 on: what a writer of UTF-8 cannot copy as it is.
constexpr ScanSet WithNonAscii(ScanSet set) {
    set.nonAscii = true;
    return set;
}

// What the writers escape: the XML writer's NUL and markup, JSON's controls, quote,
// backslash and slash.
inline constexpr ScanSet kXmlEscapedSet = ScanSetOf(1, false, '"', '&', '\'', '<', '>');
inline constexpr ScanSet kJsonEscapedSet = ScanSetOf(0x20, false, '"', '\\', '/');

// The unsigned value of a character of either width.
template <typename Char>
constexpr uint32_t ScanUnit(Char c) {
    if constexpr (sizeof(Char) == 1) {
        return static_cast<unsigned char>(c);
    } else {
        return static_cast<uint32_t>(c);
    }
}

template <ScanSet kSet>
constexpr bool IsInScanSet(uint32_t unit) {
    if (unit < kSet.below || (kSet.nonAscii && unit >= 0x80)) {
        return true;
    }
    for (int k = 0; k < kSet.count; ++k) {
        if (unit == static_cast<uint32_t>(kSet.chars[k])) {
            return true;
        }
    }
    return false;
}

// ---- The plain forms ------------------------------------------------------------------

// The lanes of the block at `block` that are in the set.
template <ScanSet kSet, typename Char>
unsigned MatchLanesPlain(const Char* block) {
    unsigned mask = 0;
    for (size_t k = 0; k < kScanLanes<Char>; ++k) {
        mask |= static_cast<unsigned>(IsInScanSet<kSet>(ScanUnit(block[k]))) << k;
    }
    return mask;
}

// The lanes equal to `first` or `second`.
template <typename Char>
unsigned EqualLanesPlain(const Char* block, Char first, Char second) {
    unsigned mask = 0;
    for (size_t k = 0; k < kScanLanes<Char>; ++k) {
        mask |= static_cast<unsigned>(block[k] == first || block[k] == second) << k;
    }
    return mask;
}

// Writes the 16 bytes at `in` as 16 units.
inline void WidenBlockPlain(const char* in, WChar* out) {
    for (size_t k = 0; k < 16; ++k) {
        out[k] = static_cast<unsigned char>(in[k]);
    }
}

// Writes the 8 units at `in`, which are ASCII, as 8 bytes (what a unit from 0x80 on
// becomes differs between the forms).
inline void NarrowBlockPlain(const WChar* in, char* out) {
    for (size_t k = 0; k < 8; ++k) {
        out[k] = static_cast<char>(in[k]);
    }
}

// ---- The block steps ------------------------------------------------------------------

#if defined(QAV_SCAN_SSE2)
namespace text_scan_detail {

inline __m128i Load(const void* block) {
    return _mm_loadu_si128(static_cast<const __m128i*>(block));
}

template <typename Char>
__m128i Equal(__m128i block, char c) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_cmpeq_epi8(block, _mm_set1_epi8(c));
    } else {
        return _mm_cmpeq_epi16(block, _mm_set1_epi16(c));
    }
}

// One bit per lane: its sign bit (signed saturation keeps it).
template <typename Char>
unsigned LaneBits(__m128i lanes) {
    if constexpr (sizeof(Char) == 1) {
        return static_cast<unsigned>(_mm_movemask_epi8(lanes));
    } else {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(lanes, lanes))) & 0xFF;
    }
}

}  // namespace text_scan_detail
#endif

#if defined(QAV_SCAN_SSE2)
namespace text_scan_detail {

// The lanes in the set, as the sign bit of each lane (the other bits are not kept).
template <ScanSet kSet, typename Char>
__m128i MatchSigns(__m128i units) {
    static_assert(kSet.below <= 0x80, "a range below 0x80");
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes = zero;
    if constexpr (kSet.nonAscii && kSet.below > 0) {
        // Below `below` or from 0x80 on in one range test: the unit less `below`
        // (wrapping round) is at least 0x80 - below, which the saturating addition
        // carries to the sign bit.
        if constexpr (sizeof(Char) == 1) {
            lanes = _mm_adds_epu8(_mm_sub_epi8(units, _mm_set1_epi8(static_cast<char>(kSet.below))),
                                  _mm_set1_epi8(static_cast<char>(kSet.below)));
        } else {
            lanes =
                _mm_adds_epu16(_mm_sub_epi16(units, _mm_set1_epi16(static_cast<short>(kSet.below))),
                               _mm_set1_epi16(static_cast<short>(0x8000 - (0x80 - kSet.below))));
        }
    } else if constexpr (kSet.nonAscii) {
        if constexpr (sizeof(Char) == 1) {
            lanes = units;
        } else {
            // A unit from 0x80 on reaches 0x8000; the addition saturates below 0x10000.
            lanes = _mm_adds_epu16(units, _mm_set1_epi16(0x7F80));
        }
    }
    if constexpr (kSet.nonAscii && kSet.below > 0) {
        // Taken above.
    } else if constexpr (kSet.below == 1) {
        lanes = _mm_or_si128(
            lanes, sizeof(Char) == 1 ? _mm_cmpeq_epi8(units, zero) : _mm_cmpeq_epi16(units, zero));
    } else if constexpr (kSet.below > 1) {
        // Unsigned "below": what the saturating subtraction leaves at zero.
        if constexpr (sizeof(Char) == 1) {
            lanes = _mm_or_si128(
                lanes,
                _mm_cmpeq_epi8(
                    _mm_subs_epu8(units, _mm_set1_epi8(static_cast<char>(kSet.below - 1))), zero));
        } else {
            lanes = _mm_or_si128(
                lanes,
                _mm_cmpeq_epi16(
                    _mm_subs_epu16(units, _mm_set1_epi16(static_cast<short>(kSet.below - 1))),
                    zero));
        }
    }
    for (int k = 0; k < kSet.count; ++k) {
        lanes = _mm_or_si128(lanes, Equal<Char>(units, kSet.chars[k]));
    }
    return lanes;
}

}  // namespace text_scan_detail
#endif

template <ScanSet kSet, typename Char>
unsigned MatchLanes(const Char* block) {
#if defined(QAV_SCAN_SSE2)
    using namespace text_scan_detail;
    return LaneBits<Char>(MatchSigns<kSet, Char>(Load(block)));
#else
    return MatchLanesPlain<kSet>(block);
#endif
}

// Whether any lane of the block is in the set: MatchLanes(block) != 0, sooner known.
template <ScanSet kSet, typename Char>
bool AnyInSet(const Char* block) {
    if constexpr (kSet.nonAscii && kSet.below == 0 && kSet.count == 0) {
        // Two words and one test: on mixed text, where the branch on the answer often
        // goes wrong, the answer that comes sooner wins over the block compare.
        constexpr uint64_t kNonAsciiBits =
            sizeof(Char) == 1 ? 0x8080808080808080ull : 0xFF80FF80FF80FF80ull;
        uint64_t low;
        uint64_t high;
        std::memcpy(&low, block, 8);
        std::memcpy(&high, reinterpret_cast<const char*>(block) + 8, 8);
        return ((low | high) & kNonAsciiBits) != 0;
    } else {
#if defined(QAV_SCAN_SSE2)
        using namespace text_scan_detail;
        constexpr int kSignBits = sizeof(Char) == 1 ? 0xFFFF : 0xAAAA;
        return (_mm_movemask_epi8(MatchSigns<kSet, Char>(Load(block))) & kSignBits) != 0;
#else
        return MatchLanesPlain<kSet>(block) != 0;
#endif
    }
}

// The first lane of the block in the set, or kScanLanes<Char> when none is: for UTF-16
// a step shorter than MatchLanes, whose lanes take a step to gather.
template <ScanSet kSet, typename Char>
size_t FirstInSet(const Char* block) {
#if defined(QAV_SCAN_SSE2)
    using namespace text_scan_detail;
    constexpr int kSignBits = sizeof(Char) == 1 ? 0xFFFF : 0xAAAA;
    const unsigned mask =
        static_cast<unsigned>(_mm_movemask_epi8(MatchSigns<kSet, Char>(Load(block))) & kSignBits);
    return mask == 0 ? kScanLanes<Char> : static_cast<size_t>(__builtin_ctz(mask)) / sizeof(Char);
#else
    const unsigned mask = MatchLanesPlain<kSet>(block);
    return mask == 0 ? kScanLanes<Char> : static_cast<size_t>(__builtin_ctz(mask));
#endif
}

template <typename Char>
unsigned EqualLanes(const Char* block, Char first, Char second) {
#if defined(QAV_SCAN_SSE2)
    using namespace text_scan_detail;
    const __m128i units = Load(block);
    if constexpr (sizeof(Char) == 1) {
        return LaneBits<Char>(_mm_or_si128(_mm_cmpeq_epi8(units, _mm_set1_epi8(first)),
                                           _mm_cmpeq_epi8(units, _mm_set1_epi8(second))));
    } else {
        return LaneBits<Char>(
            _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16(static_cast<short>(first))),
                         _mm_cmpeq_epi16(units, _mm_set1_epi16(static_cast<short>(second)))));
    }
#else
    return EqualLanesPlain(block, first, second);
#endif
}

inline void WidenBlock(const char* in, WChar* out) {
#if defined(QAV_SCAN_SSE2)
    const __m128i bytes = text_scan_detail::Load(in);
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
#else
    WidenBlockPlain(in, out);
#endif
}

inline void NarrowBlock(const WChar* in, char* out) {
#if defined(QAV_SCAN_SSE2)
    const __m128i units = text_scan_detail::Load(in);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
#else
    NarrowBlockPlain(in, out);
#endif
}

// Writes the `count` bytes at `in`, which are ASCII, as `count` units, and nothing past
// them; count is below 16. Two stores that may overlap, not a loop whose end a branch
// must guess: the end of an ASCII run inside a block is where text is least predictable.
inline void WidenAsciiFront(const char* in, size_t count, WChar* out) {
#if defined(QAV_SCAN_SSE2)
    const __m128i zero = _mm_setzero_si128();
    if (count >= 8) {
        const __m128i front = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
        const __m128i back = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + count - 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(front, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + count - 8),
                         _mm_unpacklo_epi8(back, zero));
    } else if (count >= 4) {
        int32_t front;
        int32_t back;
        std::memcpy(&front, in, 4);
        std::memcpy(&back, in + count - 4, 4);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                         _mm_unpacklo_epi8(_mm_cvtsi32_si128(front), zero));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + count - 4),
                         _mm_unpacklo_epi8(_mm_cvtsi32_si128(back), zero));
    } else if (count != 0) {
        // 1, 2 or 3 bytes: the first, the middle and the last cover them all.
        out[0] = static_cast<unsigned char>(in[0]);
        out[count / 2] = static_cast<unsigned char>(in[count / 2]);
        out[count - 1] = static_cast<unsigned char>(in[count - 1]);
    }
#else
    for (size_t k = 0; k < count; ++k) {
        out[k] = static_cast<unsigned char>(in[k]);
    }
#endif
}

// ---- Searches and runs ----------------------------------------------------------------

inline size_t FirstLane(unsigned mask) {
    return static_cast<size_t>(__builtin_ctz(mask));
}

// The index of the first character in the set at or after `from`, or `size`.
template <ScanSet kSet, typename Char>
size_t FindInSet(const Char* data, size_t size, size_t from) {
    size_t i = from;
    for (; i < size && size - i >= kScanLanes<Char>; i += kScanLanes<Char>) {
        if (const size_t first = FirstInSet<kSet>(data + i); first != kScanLanes<Char>) {
            return i + first;
        }
    }
    for (; i < size; ++i) {
        if (IsInScanSet<kSet>(ScanUnit(data[i]))) {
            return i;
        }
    }
    return size;
}

// The index of the first `first` or `second` at or after `from`, or `size`.
template <typename Char>
size_t FindEither(const Char* data, size_t size, size_t from, Char first, Char second) {
    size_t i = from;
    for (; i < size && size - i >= kScanLanes<Char>; i += kScanLanes<Char>) {
        if (const unsigned mask = EqualLanes(data + i, first, second); mask != 0) {
            return i + FirstLane(mask);
        }
    }
    for (; i < size; ++i) {
        if (data[i] == first || data[i] == second) {
            return i;
        }
    }
    return size;
}

// The first character in the set at or after `at` in a NUL-terminated text; the set
// must hold the NUL, which ends every search. A block is read only where it does not
// cross into the next page (near a page's end characters are taken one by one), so the
// last block may read a few bytes past the NUL but never memory the text's page does
// not hold: the address and thread sanitizers are told so.
template <ScanSet kSet, typename Char>
QAV_SCAN_INLINE __attribute__((no_sanitize("address", "thread"))) const Char* FindInTerminated(
    const Char* at) {
    static_assert(kSet.below >= 1, "the set must hold the NUL");
#if defined(QAV_SCAN_SSE2)
    constexpr uintptr_t kPage = 4096;  // the smallest page of the processors with SSE2
    for (;;) {
        if ((reinterpret_cast<uintptr_t>(at) & (kPage - 1)) <= kPage - 16) {
            // Loaded here, not in a helper the sanitizer would watch.
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            using namespace text_scan_detail;
            constexpr int kSignBits = sizeof(Char) == 1 ? 0xFFFF : 0xAAAA;
            if (const unsigned mask = static_cast<unsigned>(
                    _mm_movemask_epi8(MatchSigns<kSet, Char>(units)) & kSignBits);
                mask != 0) {
                return at + FirstLane(mask) / sizeof(Char);
            }
            at += kScanLanes<Char>;
        } else {
            if (IsInScanSet<kSet>(ScanUnit(*at))) {
                return at;
            }
            ++at;
        }
    }
#else
    while (!IsInScanSet<kSet>(ScanUnit(*at))) {
        ++at;
    }
    return at;
#endif
}

// Copies the ASCII at the front of in[0, count) to `out`, widened, and returns how
// many bytes that was. Nothing past them is written.
inline size_t WidenAsciiRun(const char* in, size_t count, WChar* out) {
    constexpr ScanSet kNonAscii = ScanSetOf(0, true);
    size_t i = 0;
    for (; count - i >= 16; i += 16) {
        // Taken once per call at most: the loop's blocks come first.
        if (const unsigned nonAscii = MatchLanes<kNonAscii>(in + i); nonAscii != 0) [[unlikely]] {
            WidenAsciiFront(in + i, FirstLane(nonAscii), out + i);
            return i + FirstLane(nonAscii);
        }
        WidenBlock(in + i, out + i);
    }
    for (; i < count && static_cast<unsigned char>(in[i]) < 0x80; ++i) {
        out[i] = static_cast<unsigned char>(in[i]);
    }
    return i;
}

// Copies the ASCII at the front of in[0, count) to `out`, narrowed, and returns how
// many units that was. Nothing past them is written.
inline size_t NarrowAsciiRun(const WChar* in, size_t count, char* out) {
    constexpr ScanSet kNonAscii = ScanSetOf(0, true);
    size_t i = 0;
    for (; count - i >= 8; i += 8) {
        if (AnyInSet<kNonAscii>(in + i)) {
            break;
        }
        NarrowBlock(in + i, out + i);
    }
    for (; i < count && in[i] < 0x80; ++i) {
        out[i] = static_cast<char>(in[i]);
    }
    return i;
}

// The length of the ASCII at the front of in[0, count).
inline size_t AsciiRunLength(const char* in, size_t count) {
    return FindInSet<ScanSetOf(0, true)>(in, count, 0);
}

}  // namespace qav
