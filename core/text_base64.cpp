// Base64 with the standard alphabet and '=' padding, without line breaks.
//
// Both directions work a whole group per step (3 bytes <-> 4 characters) through
// lookup tables; the capacity and validity rules are checked once per group, and the
// careful character-by-character path runs only for a group that needs it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "core/text_utils.h"

namespace qav {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// The two characters of every 12-bit value, first character in the low byte.
constexpr std::array<uint16_t, 4096> kPairs = [] {
    std::array<uint16_t, 4096> pairs{};
    for (int v = 0; v < 4096; ++v) {
        pairs[v] = static_cast<uint16_t>(static_cast<unsigned char>(kAlphabet[v >> 6]) |
                                         (static_cast<unsigned char>(kAlphabet[v & 63]) << 8));
    }
    return pairs;
}();

constexpr std::array<int8_t, 256> kDigitValues = [] {
    std::array<int8_t, 256> values{};
    values.fill(-1);
    for (int v = 0; v < 64; ++v) {
        values[static_cast<unsigned char>(kAlphabet[v])] = static_cast<int8_t>(v);
    }
    return values;
}();

// A character's value already shifted to its place in a group of four; characters
// outside the alphabet set a bit above the group's 24 bits.
constexpr uint32_t kInvalidBit = 0x80000000u;
constexpr std::array<std::array<uint32_t, 256>, 4> kPlacedValues = [] {
    std::array<std::array<uint32_t, 256>, 4> placed{};
    for (int place = 0; place < 4; ++place) {
        for (int c = 0; c < 256; ++c) {
            const int v = kDigitValues[c];
            placed[place][c] = v < 0 ? kInvalidBit : static_cast<uint32_t>(v) << (18 - 6 * place);
        }
    }
    return placed;
}();

inline unsigned char LowByte(char c) {
    return static_cast<unsigned char>(c);
}
inline unsigned char LowByte(WChar c) {
    return static_cast<unsigned char>(c & 0xFF);
}

template <typename Char>
int EncodeBase64(const void* bytes, int count, Char* out, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    const auto* in = static_cast<const unsigned char*>(bytes);
    const size_t inCount = count > 0 ? static_cast<size_t>(count) : 0;
    const size_t room = static_cast<size_t>(capacity);
    // Whole groups whose four characters fit go through the fast loops.
    const size_t groups = std::min(inCount / 3, room / 4);
    size_t g = 0;
    if constexpr (sizeof(Char) == 1 && std::endian::native == std::endian::little) {
        // Two groups per step, read as one 8-byte word and written as another; the word
        // read needs two bytes beyond the groups, so the last steps are left to the loop
        // below.
        for (; g + 2 <= groups && 3 * g + 8 <= inCount; g += 2) {
            uint64_t word;
            std::memcpy(&word, in + 3 * g, 8);
            const uint64_t bits = __builtin_bswap64(word) >> 16;
            const uint64_t chars = uint64_t{kPairs[(bits >> 36) & 0xFFF]} |
                                   (uint64_t{kPairs[(bits >> 24) & 0xFFF]} << 16) |
                                   (uint64_t{kPairs[(bits >> 12) & 0xFFF]} << 32) |
                                   (uint64_t{kPairs[bits & 0xFFF]} << 48);
            std::memcpy(out + 4 * g, &chars, 8);
        }
    }
    for (; g < groups; ++g) {
        const unsigned char* src = in + 3 * g;
        const uint32_t bits = (uint32_t{src[0]} << 16) | (uint32_t{src[1]} << 8) | src[2];
        const uint16_t first = kPairs[bits >> 12];
        const uint16_t second = kPairs[bits & 0xFFF];
        Char* dst = out + 4 * g;
        dst[0] = static_cast<Char>(first & 0xFF);
        dst[1] = static_cast<Char>(first >> 8);
        dst[2] = static_cast<Char>(second & 0xFF);
        dst[3] = static_cast<Char>(second >> 8);
    }
    size_t written = 4 * groups;
    const size_t consumed = 3 * groups;
    // The last group: padded input, or a group cut short by the capacity.
    if (consumed < inCount && written < room) {
        const size_t left = std::min<size_t>(inCount - consumed, 3);
        const unsigned char b0 = in[consumed];
        const unsigned char b1 = left > 1 ? in[consumed + 1] : 0;
        const unsigned char b2 = left > 2 ? in[consumed + 2] : 0;
        const char group[4] = {kAlphabet[b0 >> 2], kAlphabet[((b0 & 3) << 4) | (b1 >> 4)],
                               left > 1 ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : kPad,
                               left > 2 ? kAlphabet[b2 & 63] : kPad};
        for (int k = 0; k < 4 && written < room; ++k) {
            out[written++] = static_cast<Char>(group[k]);
        }
    }
    if (written < room) {
        out[written] = 0;
    }
    return static_cast<int>(written);
}

// The 24 bits of a group of four characters, with kInvalidBit set when any of them is
// outside the alphabet.
template <typename Char>
inline uint32_t GroupBits(const Char* group) {
    return kPlacedValues[0][LowByte(group[0])] | kPlacedValues[1][LowByte(group[1])] |
           kPlacedValues[2][LowByte(group[2])] | kPlacedValues[3][LowByte(group[3])];
}

// Writes the low 48 bits of value as six bytes, most significant first.
inline void StoreBigEndian48(unsigned char* out, uint64_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t swapped = __builtin_bswap64(value << 16);
        std::memcpy(out, &swapped, 6);
    } else {
        for (int k = 0; k < 6; ++k) {
            out[k] = static_cast<unsigned char>(value >> (40 - 8 * k));
        }
    }
}

template <typename Char>
int DecodeBase64(const Char* text, int count, void* outBytes, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    auto* out = static_cast<unsigned char*>(outBytes);
    const size_t inCount = count > 0 ? static_cast<size_t>(count) : 0;
    const size_t room = static_cast<size_t>(capacity);
    size_t written = 0;
    for (size_t i = 0; i + 4 <= inCount; i += 4) {
        // Two clean groups per step while there is room for their six bytes.
        while (i + 8 <= inCount && room - written >= 6) {
            const uint32_t first = GroupBits(text + i);
            const uint32_t second = GroupBits(text + i + 4);
            if ((first | second) & kInvalidBit) {
                break;
            }
            StoreBigEndian48(out + written, (uint64_t{first} << 24) | second);
            written += 6;
            i += 8;
        }
        if (i + 4 > inCount) {
            break;
        }
        const Char* group = text + i;
        const uint32_t bits = GroupBits(group);
        if ((bits & kInvalidBit) == 0 && room - written >= 3) {
            out[written] = static_cast<unsigned char>(bits >> 16);
            out[written + 1] = static_cast<unsigned char>(bits >> 8);
            out[written + 2] = static_cast<unsigned char>(bits);
            written += 3;
            continue;
        }
        // A group with padding or a bad character, or one that meets the capacity.
        const int v0 = kDigitValues[LowByte(group[0])];
        if (v0 < 0) {
            break;
        }
        const int v1 = kDigitValues[LowByte(group[1])];
        if (v1 < 0) {
            continue;
        }
        if (written == room) {
            break;
        }
        out[written++] = static_cast<unsigned char>((v0 << 2) | (v1 >> 4));
        const int v2 = kDigitValues[LowByte(group[2])];
        if (v2 < 0) {
            continue;
        }
        if (written == room) {
            break;
        }
        out[written++] = static_cast<unsigned char>(((v1 & 15) << 4) | (v2 >> 2));
        const int v3 = kDigitValues[LowByte(group[3])];
        if (v3 < 0) {
            continue;
        }
        if (written == room) {
            break;
        }
        out[written++] = static_cast<unsigned char>(((v2 & 3) << 6) | v3);
    }
    if (written < room) {
        out[written] = 0;
    }
    return static_cast<int>(written);
}

}  // namespace

int Base64Encode(const void* bytes, int count, char* out, int capacity) {
    return EncodeBase64(bytes, count, out, capacity);
}

int Base64EncodeW(const void* bytes, int count, WChar* out, int capacity) {
    return EncodeBase64(bytes, count, out, capacity);
}

int Base64DigitValue(int character) {
    return character >= 0 && character < 256 ? kDigitValues[character] : -1;
}

int Base64Decode(const char* text, int count, void* out, int capacity) {
    return DecodeBase64(text, count, out, capacity);
}

int Base64DecodeW(const WChar* text, int count, void* out, int capacity) {
    return DecodeBase64(text, count, out, capacity);
}

}  // namespace qav
