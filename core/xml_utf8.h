// UTF-8 for the XML parser, which reads the bytes given to XmlDocument::LoadFromText as
// they are and decodes only its tokens (names, values, character data), checking each
// on the way.
//
// Well-formed UTF-8 (surrogate pairs written as two three-byte sequences included) is
// what such a parse takes: every multi-byte sequence decodes to units of 0x80 and
// above, which are never markup, and ends before the next ASCII byte, so each token
// decodes on its own to what the lenient decoder (Utf8ToWide) makes of it within the
// whole text. Text with an invalid sequence is left to the UTF-16 parse of what the
// lenient decoder makes of it, which keeps the rare replacement out of the fast path.
//
// No state: any thread may call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text_scan.h"
#include "core/utf8_codec.h"
#include "core/wide_text.h"

namespace qav {

// What DecodeUtf8Token's `out` must have room for at least.
inline constexpr size_t kUtf8TokenBlock = 16;

// Decodes `bytes` into `out`, which has room for max(bytes.size(), kUtf8TokenBlock)
// units; returns the units written, or npos when the bytes are not well-formed.
// `readable` (at least bytes.size()) bytes may be read from bytes.data(). Inline: the
// parser calls it for every name and value.
inline size_t DecodeUtf8Token(std::string_view bytes, size_t readable, WChar* out) {
    constexpr ScanSet kNonAscii = ScanSetOf(0, true);
    const char* in = bytes.data();
    const size_t length = bytes.size();
    // Names and most values are short and ASCII: widened with one block, read past the
    // token's end where the text allows.
    if (length <= kUtf8TokenBlock && readable >= kUtf8TokenBlock) {
        WidenBlock(in, out);
        const unsigned inToken = (1u << length) - 1;
        if ((MatchLanes<kNonAscii>(in) & inToken) == 0) {
            return length;
        }
    }
    WChar* o = out;  // never ahead of the input, so a block of sixteen always fits
    size_t i = 0;
    while (i < length) {
        if (length - i >= 16) {
            WidenBlock(in + i, o);
            const unsigned nonAscii = MatchLanes<kNonAscii>(in + i);
            const size_t ascii = nonAscii == 0 ? 16 : FirstLane(nonAscii);
            i += ascii;
            o += ascii;
            if (nonAscii == 0 || i == length) {
                continue;
            }
        }
        const auto* bytesAt = reinterpret_cast<const unsigned char*>(in + i);
        if (*bytesAt < 0x80) {
            *o++ = *bytesAt;
            ++i;
            continue;
        }
        if (const size_t common = DecodeCommonSequence(bytesAt, length - i, *o); common != 0) {
            ++o;
            i += common;
            continue;
        }
        const size_t size = WellFormedSequenceLength(bytesAt, length - i);
        if (size == 0) {
            return std::string_view::npos;
        }
        DecodeWellFormedSequence(bytesAt, size, o);
        i += size;
    }
    return static_cast<size_t>(o - out);
}

// True when all of the text is well-formed.
inline bool IsWellFormedUtf8(std::string_view text) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = text.size();
    size_t i = 0;
    while (i < length) {
        i += AsciiRunLength(text.data() + i, length - i);
        if (i == length) {
            break;
        }
        const size_t size = WellFormedSequenceLength(in + i, length - i);
        if (size == 0) {
            return false;
        }
        i += size;
    }
    return true;
}

}  // namespace qav
