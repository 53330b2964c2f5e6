// UTF-16 <-> UTF-8: the protocol's flavour (unit-by-unit encoder, lenient decoder) and
// the strict flavour for the operating system.
//
// Most text is ASCII, so every loop copies ASCII a block at a time (core/text_scan.h)
// where it can and works sequence by sequence (core/utf8_codec.h) only around non-ASCII
// characters.
#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <new>

#include "core/text_scan.h"
#include "core/text_utils.h"
#include "core/utf8_codec.h"

namespace qav {

namespace {

constexpr ScanSet kNonAscii = ScanSetOf(0, true);

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
        if (!AnyInSet<kNonAscii>(text + i)) {
            // The plain form: between units encoded one by one, its byte stores beat
            // the block store.
            NarrowBlockPlain(text + i, o);
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
            const size_t ascii = WidenAsciiRun(reinterpret_cast<const char*>(in + i),
                                               std::min(left, limit - written), out + written);
            i += ascii;
            written += ascii;
            continue;
        }
        if (const size_t common = DecodeCommonSequence(in + i, left, out[written]); common != 0) {
            ++written;
            i += common;
            continue;
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
    // Checked above: no lone surrogate is left, so this is the strict form.
    EncodeWideAsRealUtf8(text.data(), text.size(), out.data());
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
    size_t i = 0;
    for (;;) {
        const size_t ascii = WidenAsciiRun(bytes.data() + i, length - i, o);
        i += ascii;
        o += ascii;
        if (i == length) {
            out.resize(static_cast<size_t>(o - out.data()));
            return true;
        }
        if (const size_t common = DecodeCommonSequence(in + i, length - i, *o); common != 0) {
            ++o;
            i += common;
            continue;
        }
        // Real UTF-8 only: the two three-byte forms of a surrogate pair are refused.
        const size_t size = WellFormedSequenceLength(in + i, length - i);
        if (size == 0 || size == 6) {
            break;
        }
        DecodeWellFormedSequence(in + i, size, o);
        i += size;
    }
    out.clear();
    return false;
}

}  // namespace qav
