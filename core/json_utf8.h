// The UTF-8 edge of JSON values, where wide text leaves for the wire or enters from
// narrow strings.
//
// Peers of JSON (browsers, the push service) read real UTF-8, so a surrogate pair is
// written as one four-byte sequence, not as the two three-byte sequences of the
// system's protocol encoder. A lone surrogate has no UTF-8 form; it keeps its
// three-byte form. Text enters through the system's one lenient decoder
// (AppendUtf8AsWide). Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/wide_text.h"

namespace qav {

constexpr bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

constexpr bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Writes the four bytes of the pair's code point at out.
inline void EncodePairUtf8(WChar high, WChar low, char* out) {
    const uint32_t code = 0x10000 + ((uint32_t{high} - 0xD800) << 10) + (uint32_t{low} - 0xDC00);
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
}

void AppendJsonUtf8(WStringView text, std::string& out);

}  // namespace qav
