// The single-character steps of the system's UTF-8 coding, shared by the buffer
// converters and the formatter.
//
// The encoder writes every UTF-16 unit on its own (a surrogate pair becomes two
// three-byte sequences): peers of the protocol expect exactly that. The decoder
// turns a four-byte sequence into a surrogate pair.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wide_text.h"

namespace qav {

// What an invalid sequence, or a reference to no character, decodes to.
inline constexpr WChar kReplacementCharacter = 0xFFFD;

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

// Outcome of decoding one sequence at the front of a byte run.
struct Utf8Step {
    enum Status : uint8_t { kOk, kTruncated, kInvalid };
    Status status = kOk;
    int consumed = 0;  // bytes taken (kOk), or 1 (kInvalid: the position after the lead byte)
    int units = 0;     // 1, or 2 for a surrogate pair
    WChar unit[2] = {0, 0};
};

// Decodes one sequence leniently: a lead byte below 0xE0 (0x80..0xBF included) starts
// a two-byte sequence, below 0xF0 three bytes, otherwise four. Every continuation byte
// must be 10xxxxxx. A four-byte sequence yields a surrogate pair.
inline Utf8Step DecodeUtf8Step(const unsigned char* in, size_t length) {
    Utf8Step step;
    const unsigned char lead = in[0];
    if (lead < 0x80) {
        step.consumed = 1;
        step.units = 1;
        step.unit[0] = lead;
        return step;
    }
    const int size = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length < static_cast<size_t>(size)) {
        step.status = Utf8Step::kTruncated;
        return step;
    }
    uint32_t code = lead & (size == 2 ? 0x1F : size == 3 ? 0x0F : 0x07);
    for (int i = 1; i < size; ++i) {
        if ((in[i] & 0xC0) != 0x80) {
            step.status = Utf8Step::kInvalid;
            step.consumed = 1;
            return step;
        }
        code = (code << 6) | (in[i] & 0x3F);
    }
    step.consumed = size;
    if (size == 4 && code >= 0x10000 && code <= 0x10FFFF) {
        code -= 0x10000;
        step.units = 2;
        step.unit[0] = static_cast<WChar>(0xD800 | (code >> 10));
        step.unit[1] = static_cast<WChar>(0xDC00 | (code & 0x3FF));
    } else {
        step.units = 1;
        step.unit[0] = static_cast<WChar>(code);
    }
    return step;
}

// The length of the well-formed multi-byte sequence at in[0, left), or 0.
inline size_t WellFormedSequenceLength(const unsigned char* in, size_t left) {
    const unsigned char lead = in[0];
    size_t size = 0;
    unsigned char low = 0x80;  // the second byte's range
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (left < size || in[1] < low || in[1] > high) {
        return 0;
    }
    for (size_t k = 2; k < size; ++k) {
        if ((in[k] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return size;
}

// Decodes a sequence that WellFormedSequenceLength measured (`size` bytes) to one unit or
// a surrogate pair at `out`.
inline void DecodeWellFormedSequence(const unsigned char* in, size_t size, WChar*& out) {
    const unsigned char lead = in[0];
    if (size == 2) {
        *out++ = static_cast<WChar>(((lead & 0x1F) << 6) | (in[1] & 0x3F));
    } else if (size == 3) {
        *out++ = static_cast<WChar>(((lead & 0x0F) << 12) | ((in[1] & 0x3F) << 6) | (in[2] & 0x3F));
    } else {
        const uint32_t code = (((lead & 0x07u) << 18) | ((in[1] & 0x3Fu) << 12) |
                               ((in[2] & 0x3Fu) << 6) | (in[3] & 0x3Fu)) -
                              0x10000;
        *out++ = static_cast<WChar>(0xD800 | (code >> 10));
        *out++ = static_cast<WChar>(0xDC00 | (code & 0x3FF));
    }
}

}  // namespace qav
