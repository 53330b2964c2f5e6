// UTF-16 <-> UTF-8: the protocol's flavour (unit-by-unit encoder, lenient decoder) and
// the strict flavour for the operating system.
//
// Most text is ASCII, so every loop copies ASCII eight units at a time (the lenient
// decoder sixteen, with SSE2) where it can and works sequence by sequence only around
// non-ASCII characters.
#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <new>

#include "core/text_utils.h"
#include "core/utf8_codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qav {

namespace {

constexpr uint64_t kHighBitOfEachByte = 0x8080808080808080ull;
constexpr uint64_t kNonAsciiOfEachUnit = 0xFF80FF80FF80FF80ull;

// Copies the ASCII bytes at the front of in[0, count) to out and returns how many.
inline size_t WidenAsciiRun(const unsigned char* in, size_t count, WChar* out) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t word;
        std::memcpy(&word, in + i, 8);
        if (word & kHighBitOfEachByte) {
            break;
        }
        for (size_t k = 0; k < 8; ++k) {
            out[i + k] = in[i + k];
        }
    }
    while (i < count && in[i] < 0x80) {
        out[i] = in[i];
        ++i;
    }
    return i;
}

// Copies the ASCII units at the front of in[0, count) to out and returns how many.
inline size_t NarrowAsciiRun(const WChar* in, size_t count, char* out) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t low, high;
        std::memcpy(&low, in + i, 8);
        std::memcpy(&high, in + i + 4, 8);
        if ((low | high) & kNonAsciiOfEachUnit) {
            break;
        }
        for (size_t k = 0; k < 8; ++k) {
            out[i + k] = static_cast<char>(in[i + k]);
        }
    }
    while (i < count && in[i] < 0x80) {
        out[i] = static_cast<char>(in[i]);
        ++i;
    }
    return i;
}

constexpr bool IsContinuation(unsigned char byte) {
    return IsUtf8Continuation(byte);
}

size_t Count(int count) {
    return count > 0 ? static_cast<size_t>(count) : 0;
}

// Encodes units one by one into out, which has room for `capacity` bytes; stops before a
// unit that would not fit. Returns the bytes written.
//
// Plain branches beat branch-free selection here even on mixed text: the branch-free
// form makes every store address wait for the previous unit's length.
size_t EncodeUnits(const WChar* text, size_t count, char* out, size_t capacity) {
    constexpr size_t kChunk = 8;
    constexpr size_t kChunkBytes = 3 * kChunk;
    size_t i = 0;
    char* o = out;
    char* const end = out + capacity;
    // Chunks of eight units, while even eight three-byte units would fit.
    while (count - i >= kChunk && static_cast<size_t>(end - o) >= kChunkBytes) {
        uint64_t low, high;
        std::memcpy(&low, text + i, 8);
        std::memcpy(&high, text + i + 4, 8);
        if (((low | high) & kNonAsciiOfEachUnit) == 0) {
            for (size_t k = 0; k < kChunk; ++k) {
                o[k] = static_cast<char>(text[i + k]);
            }
            o += kChunk;
        } else {
            for (size_t k = 0; k < kChunk; ++k) {
                o += EncodeUnitUtf8(text[i + k], o);
            }
        }
        i += kChunk;
    }
    for (; i < count; ++i) {
        const WChar unit = text[i];
        if (Utf8LengthOfUnit(unit) > end - o) {
            break;
        }
        o += EncodeUnitUtf8(unit, o);
    }
    return static_cast<size_t>(o - out);
}

#if defined(__SSE2__)
constexpr size_t kAsciiBlock = 16;

// Widens the ASCII bytes at the front of the 16 at `in` into `out` and returns how many.
// Only those are stored: a caller's buffer is not written past what it is given.
inline size_t WidenAsciiBlock(const unsigned char* in, WChar* out) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const unsigned nonAscii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
    if (nonAscii == 0) {
        const __m128i zero = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
        return kAsciiBlock;
    }
    const size_t ascii = static_cast<size_t>(__builtin_ctz(nonAscii));
    for (size_t k = 0; k < ascii; ++k) {
        out[k] = in[k];
    }
    return ascii;
}
#else
constexpr size_t kAsciiBlock = 8;

// The portable form of the above, eight bytes at a time.
inline size_t WidenAsciiBlock(const unsigned char* in, WChar* out) {
    uint64_t word;
    std::memcpy(&word, in, 8);
    if ((word & kHighBitOfEachByte) == 0) {
        for (size_t k = 0; k < kAsciiBlock; ++k) {
            out[k] = in[k];
        }
        return kAsciiBlock;
    }
    size_t ascii = 0;
    for (; in[ascii] < 0x80; ++ascii) {  // one of the eight is not ASCII
        out[ascii] = in[ascii];
    }
    return ascii;
}
#endif

// Decodes in[0, length) by the one rule of utf8_codec.h into at most `limit` units of
// out; returns the units written. *invalidPosition (when not null) gets the position
// after the lead byte of the first invalid sequence, and is left alone when there is
// none.
size_t DecodeLenient(const unsigned char* in, size_t length, WChar* out, size_t limit,
                     int* invalidPosition) {
    size_t i = 0;
    size_t written = 0;
    bool invalidSeen = false;
    while (i < length && written < limit) {
        const unsigned char lead = in[i];
        const size_t left = length - i;
        if (lead < 0x80) {
            // An ASCII run goes a block at a time; a block that ends it still takes the
            // ASCII at its front.
            if (left >= kAsciiBlock && limit - written >= kAsciiBlock) {
                const size_t ascii = WidenAsciiBlock(in + i, out + written);
                i += ascii;
                written += ascii;
            } else {
                out[written++] = lead;
                ++i;
            }
            continue;
        }
        // Well-formed two-, three- and four-byte sequences inline, told from overlong
        // forms, surrogates and code points beyond U+10FFFF by the value they give; the
        // rest by the general step.
        if (lead >= 0xC2 && lead < 0xE0 && left >= 2 && IsContinuation(in[i + 1])) {
            out[written++] = static_cast<WChar>(((lead & 0x1F) << 6) | (in[i + 1] & 0x3F));
            i += 2;
            continue;
        }
        if ((lead & 0xF0) == 0xE0 && left >= 3 && IsContinuation(in[i + 1]) &&
            IsContinuation(in[i + 2])) {
            const uint32_t code =
                ((lead & 0x0Fu) << 12) | ((in[i + 1] & 0x3Fu) << 6) | (in[i + 2] & 0x3Fu);
            if (code >= 0x800 && (code & 0xF800) != 0xD800) {
                out[written++] = static_cast<WChar>(code);
                i += 3;
                continue;
            }
        } else if ((lead & 0xF8) == 0xF0 && left >= 4 && limit - written >= 2 &&
                   IsContinuation(in[i + 1]) && IsContinuation(in[i + 2]) &&
                   IsContinuation(in[i + 3])) {
            const uint32_t code = ((lead & 0x07u) << 18) | ((in[i + 1] & 0x3Fu) << 12) |
                                  ((in[i + 2] & 0x3Fu) << 6) | (in[i + 3] & 0x3Fu);
            if (code >= 0x10000 && code <= 0x10FFFF) {
                out[written++] = static_cast<WChar>(0xD800 | ((code - 0x10000) >> 10));
                out[written++] = static_cast<WChar>(0xDC00 | (code & 0x3FF));
                i += 4;
                continue;
            }
        }
        const size_t size = WellFormedSequenceLength(in + i, left);
        if (size >= 4 && limit - written < 2) {
            break;  // a pair is not split
        }
        if (size != 0) {
            WChar* o = out + written;
            DecodeWellFormedSequence(in + i, size, o);
            written = static_cast<size_t>(o - out);
            i += size;
            continue;
        }
        if (!invalidSeen) {
            invalidSeen = true;
            if (invalidPosition != nullptr) {
                *invalidPosition = static_cast<int>(std::min<size_t>(i + 1, INT_MAX));
            }
        }
        out[written++] = kReplacementCharacter;
        i += InvalidSequenceLength(in + i, left);
    }
    return written;
}

constexpr bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

int WideToUtf8Buffer(const WChar* text, int count, char* out, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    // The last byte of the capacity is kept for the NUL.
    const size_t written = EncodeUnits(text, Count(count), out, static_cast<size_t>(capacity) - 1);
    out[written] = 0;
    return static_cast<int>(written);
}

int WideToUtf8(const WChar* text, int count, std::string& out) {
    const size_t units = Count(count);
    size_t length = 0;
    for (size_t i = 0; i < units; ++i) {
        // Counted as sums of comparisons so that the loop vectorises.
        length += 1 + static_cast<size_t>(text[i] >= 0x80) + static_cast<size_t>(text[i] >= 0x800);
    }
    if (length > static_cast<size_t>(std::numeric_limits<int>::max())) {
        out.clear();
        return 0;
    }
    try {
        out.resize(length);
    } catch (const std::bad_alloc&) {
        out.clear();
        return 0;
    }
    EncodeUnits(text, units, out.data(), length);
    return static_cast<int>(length);
}

int Utf8ToWideBuffer(const char* bytes, int length, WChar* out, int capacity,
                     int* invalidPosition) {
    if (invalidPosition != nullptr) {
        *invalidPosition = 0;
    }
    if (capacity <= 0) {
        return 0;
    }
    const size_t written =
        DecodeLenient(reinterpret_cast<const unsigned char*>(bytes), Count(length), out,
                      static_cast<size_t>(capacity) - 1, invalidPosition);
    out[written] = 0;
    return static_cast<int>(written);
}

int Utf8ToWide(const char* bytes, int length, WString& out, int* invalidPosition) {
    if (invalidPosition != nullptr) {
        *invalidPosition = 0;
    }
    // Every byte yields at most one unit (four or six bytes yield a pair).
    const size_t limit = Count(length);
    try {
        out.resize(limit);
    } catch (const std::bad_alloc&) {
        out.clear();
        return -1;
    }
    const size_t written = DecodeLenient(reinterpret_cast<const unsigned char*>(bytes), limit,
                                         out.data(), limit, invalidPosition);
    out.resize(written);
    return static_cast<int>(written);
}

void AppendUtf8AsWide(std::string_view bytes, WString& out) {
    const size_t start = out.size();
    out.resize(start + bytes.size());
    const size_t written = DecodeLenient(reinterpret_cast<const unsigned char*>(bytes.data()),
                                         bytes.size(), out.data() + start, bytes.size(), nullptr);
    out.resize(start + written);
}

bool WideToUtf8Strict(WStringView text, std::string& out) {
    size_t length = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const WChar unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            length += 4;
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            out.clear();
            return false;
        } else {
            length += static_cast<size_t>(Utf8LengthOfUnit(unit));
        }
    }
    try {
        out.resize(length);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    char* o = out.data();
    size_t i = 0;
    while (i < text.size()) {
        const size_t ascii = NarrowAsciiRun(text.data() + i, text.size() - i, o);
        i += ascii;
        o += ascii;
        if (i == text.size()) {
            break;
        }
        const WChar unit = text[i];
        if (!IsHighSurrogate(unit)) {
            o += EncodeUnitUtf8(unit, o);
            ++i;
            continue;
        }
        const uint32_t code = 0x10000 + ((uint32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        o[0] = static_cast<char>(0xF0 | (code >> 18));
        o[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        o[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        o[3] = static_cast<char>(0x80 | (code & 0x3F));
        o += 4;
        i += 2;
    }
    return true;
}

bool Utf8ToWideStrict(std::string_view bytes, WString& out) {
    try {
        out.resize(bytes.size());
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t length = bytes.size();
    WChar* o = out.data();
    size_t written = 0;
    size_t i = 0;
    for (;;) {
        const size_t ascii = WidenAsciiRun(in + i, length - i, o + written);
        i += ascii;
        written += ascii;
        if (i == length) {
            out.resize(written);
            return true;
        }
        const unsigned char lead = in[i];
        const size_t left = length - i;
        if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && IsContinuation(in[i + 1])) {
            o[written++] = static_cast<WChar>(((lead & 0x1F) << 6) | (in[i + 1] & 0x3F));
            i += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF && left >= 3) {
            // The second byte's range excludes overlong forms (E0) and surrogates (ED).
            const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
            const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
            if (in[i + 1] < low || in[i + 1] > high || !IsContinuation(in[i + 2])) {
                break;
            }
            o[written++] = static_cast<WChar>(((lead & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) |
                                              (in[i + 2] & 0x3F));
            i += 3;
        } else if (lead >= 0xF0 && lead <= 0xF4 && left >= 4) {
            // Likewise overlong forms (F0) and code points beyond U+10FFFF (F4).
            const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
            if (in[i + 1] < low || in[i + 1] > high || !IsContinuation(in[i + 2]) ||
                !IsContinuation(in[i + 3])) {
                break;
            }
            const uint32_t code = ((lead & 0x07u) << 18) | ((in[i + 1] & 0x3Fu) << 12) |
                                  ((in[i + 2] & 0x3Fu) << 6) | (in[i + 3] & 0x3Fu);
            o[written++] = static_cast<WChar>(0xD800 | ((code - 0x10000) >> 10));
            o[written++] = static_cast<WChar>(0xDC00 | (code & 0x3FF));
            i += 4;
        } else {
            break;
        }
    }
    out.clear();
    return false;
}

}  // namespace qav
