// The single-character steps of the system's UTF-8 coding, shared by the converters,
// the XML and JSON code and the formatter.
//
// The encoder writes every UTF-16 unit on its own (a surrogate pair becomes two
// three-byte sequences): peers of the protocol expect exactly that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/text_scan.h"
#include "core/wide_text.h"

namespace qav {

// What an invalid sequence, or a reference to no character, decodes to.
inline constexpr WChar kReplacementCharacter = 0xFFFD;

constexpr bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

constexpr bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Bytes that EncodeUnitUtf8 writes for one unit: 1, 2 or 3.
constexpr int Utf8LengthOfUnit(WChar unit) {
    return unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
}

// Writes the unit's 1 to 3 bytes at out (room for 3 is needed) and returns their count.
inline int EncodeUnitUtf8(WChar unit, char* out) {
    if (unit < 0x80) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit < 0x800) {
        out[0] = static_cast<char>(0xC0 | (unit >> 6));
        out[1] = static_cast<char>(0x80 | (unit & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (unit >> 12));
    out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (unit & 0x3F));
    return 3;
}

// Writes the four bytes of the pair's code point at out: real UTF-8, for the peers and
// the operating system that read it.
inline void EncodePairUtf8(WChar high, WChar low, char* out) {
    const uint32_t code = 0x10000 + ((uint32_t{high} - 0xD800) << 10) + (uint32_t{low} - 0xDC00);
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
}

// Writes the text at out as real UTF-8 (a surrogate pair as its four bytes) and returns
// the bytes written; out needs room for three bytes a unit. A lone surrogate has no UTF-8
// form: it is written as U+FFFD, so that the bytes are always valid UTF-8 (the encoded
// surrogate would be no character to any reader, the system's own decoder included).
inline size_t EncodeWideAsRealUtf8(const WChar* text, size_t count, char* out) {
    char* o = out;
    size_t i = 0;
    while (i < count) {
        const size_t ascii = NarrowAsciiRun(text + i, count - i, o);
        i += ascii;
        o += ascii;
        if (i == count) {
            break;
        }
        const WChar unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(text[i + 1])) {
            EncodePairUtf8(unit, text[i + 1], o);
            o += 4;
            i += 2;
        } else {
            const bool lone = IsHighSurrogate(unit) || IsLowSurrogate(unit);
            o += EncodeUnitUtf8(lone ? kReplacementCharacter : unit, o);
            ++i;
        }
    }
    return static_cast<size_t>(o - out);
}

// Decoding: the one rule for every text that arrives as UTF-8. Well-formed UTF-8 gives
// its characters, a four-byte sequence a surrogate pair, and a surrogate pair written as
// two three-byte sequences (as EncodeUnitUtf8 writes it) the pair again. Anything else
// is an invalid sequence: an overlong form, a lone encoded surrogate, a code point
// beyond U+10FFFF, a stray continuation byte, a sequence cut short. Its longest part
// that could have begun a valid sequence (at least one byte) becomes one U+FFFD and
// decoding goes on after it, so no text is cut short and no invalid sequence decodes to
// ASCII (a NUL, a '/').

constexpr bool IsUtf8Continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The range of the byte after `lead` in a well-formed sequence, or false when `lead`
// begins none. Encoded surrogates (ED A0..BF) are left out: only a whole encoded pair
// is taken, by WellFormedSequenceLength.
inline bool SecondByteRange(unsigned char lead, size_t& size, unsigned char& low,
                            unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return false;
    }
    return true;
}

// WellFormedSequenceLength for the leads it does not take inline: E0, ED (with the
// encoded surrogate pair) and the four-byte leads; anything else is no lead.
[[gnu::noinline]] inline size_t WellFormedRareSequenceLength(const unsigned char* in, size_t left) {
    size_t size = 0;
    unsigned char low = 0;
    unsigned char high = 0;
    if (!SecondByteRange(in[0], size, low, high) || left < 2) {
        return 0;
    }
    if (in[1] < low || in[1] > high) {
        // ED A0..AF xx ED B0..BF xx: a high and a low surrogate, each on its own.
        if (in[0] == 0xED && left >= 6 && in[1] >= 0xA0 && in[1] <= 0xAF &&
            IsUtf8Continuation(in[2]) && in[3] == 0xED && in[4] >= 0xB0 && in[4] <= 0xBF &&
            IsUtf8Continuation(in[5])) {
            return 6;
        }
        return 0;
    }
    if (left < size) {
        return 0;
    }
    for (size_t k = 2; k < size; ++k) {
        if (!IsUtf8Continuation(in[k])) {
            return 0;
        }
    }
    return size;
}

// The length of the well-formed sequence at in[0, left) whose lead is not ASCII: 2, 3
// or 4, or 6 for a surrogate pair written as two three-byte sequences; 0 when none.
inline size_t WellFormedSequenceLength(const unsigned char* in, size_t left) {
    // Most text outside ASCII is two-byte sequences and three-byte ones whose second
    // byte needs no range check: those inline, the rest out of line.
    const unsigned char lead = in[0];
    if (lead >= 0xC2 && lead <= 0xDF) {
        return left >= 2 && IsUtf8Continuation(in[1]) ? 2 : 0;
    }
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED) {
        return left >= 3 && IsUtf8Continuation(in[1]) && IsUtf8Continuation(in[2]) ? 3 : 0;
    }
    return WellFormedRareSequenceLength(in, left);
}

// The bytes of the invalid sequence at in[0, left) (where WellFormedSequenceLength gave
// 0): the lead and the continuation bytes that still fitted a valid sequence.
inline size_t InvalidSequenceLength(const unsigned char* in, size_t left) {
    size_t size = 0;
    unsigned char low = 0;
    unsigned char high = 0;
    if (!SecondByteRange(in[0], size, low, high) || left < 2 || in[1] < low || in[1] > high) {
        return 1;
    }
    size_t taken = 2;
    while (taken < size && taken < left && IsUtf8Continuation(in[taken])) {
        ++taken;
    }
    return taken;
}

// The fast step of the rule for what most text outside ASCII is: a well-formed two- or
// three-byte sequence giving one unit that is no surrogate. Returns the bytes taken (2
// or 3) with the unit, or 0 when the sequence at in[0, left) (lead not ASCII) is any
// other, for the general step. Checked by the value it gives, which is quicker than
// the second byte's range.
inline size_t DecodeCommonSequence(const unsigned char* in, size_t left, WChar& unit) {
    const unsigned char lead = in[0];
    if (lead >= 0xC2 && lead < 0xE0 && left >= 2 && IsUtf8Continuation(in[1])) {
        unit = static_cast<WChar>(((lead & 0x1F) << 6) | (in[1] & 0x3F));
        return 2;
    }
    if ((lead & 0xF0) == 0xE0 && left >= 3 && IsUtf8Continuation(in[1]) &&
        IsUtf8Continuation(in[2])) {
        const uint32_t code = ((lead & 0x0Fu) << 12) | ((in[1] & 0x3Fu) << 6) | (in[2] & 0x3Fu);
        if (code >= 0x800 && (code & 0xF800) != 0xD800) {
            unit = static_cast<WChar>(code);
            return 3;
        }
    }
    return 0;
}

// Decodes a sequence that WellFormedSequenceLength measured (`size` bytes) to one unit or
// a surrogate pair at `out`.
inline void DecodeWellFormedSequence(const unsigned char* in, size_t size, WChar*& out) {
    const unsigned char lead = in[0];
    if (size == 2) {
        *out++ = static_cast<WChar>(((lead & 0x1F) << 6) | (in[1] & 0x3F));
    } else if (size == 3) {
        *out++ = static_cast<WChar>(((lead & 0x0F) << 12) | ((in[1] & 0x3F) << 6) | (in[2] & 0x3F));
    } else if (size == 6) {
        *out++ = static_cast<WChar>(0xD000 | ((in[1] & 0x3F) << 6) | (in[2] & 0x3F));
        *out++ = static_cast<WChar>(0xD000 | ((in[4] & 0x3F) << 6) | (in[5] & 0x3F));
    } else {
        const uint32_t code = (((lead & 0x07u) << 18) | ((in[1] & 0x3Fu) << 12) |
                               ((in[2] & 0x3Fu) << 6) | (in[3] & 0x3Fu)) -
                              0x10000;
        *out++ = static_cast<WChar>(0xD800 | (code >> 10));
        *out++ = static_cast<WChar>(0xDC00 | (code & 0x3FF));
    }
}

// Decodes the sequence at in[0, left), whose lead is not ASCII, by the rule above into
// one or two units at `out`; returns the bytes taken (at least 1).
inline size_t DecodeUtf8Sequence(const unsigned char* in, size_t left, WChar*& out) {
    if (const size_t common = DecodeCommonSequence(in, left, *out); common != 0) {
        ++out;
        return common;
    }
    const size_t size = WellFormedSequenceLength(in, left);
    if (size != 0) {
        DecodeWellFormedSequence(in, size, out);
        return size;
    }
    *out++ = kReplacementCharacter;
    return InvalidSequenceLength(in, left);
}

}  // namespace qav
