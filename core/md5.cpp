#include "core/md5.h"

#include <algorithm>
#include <cstring>

#include "core/text_utils.h"

namespace qav {
namespace {

inline uint32_t LoadLittleEndian32(const uint8_t* bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
        value = __builtin_bswap32(value);
    }
    return value;
}

inline void StoreLittleEndian32(uint32_t value, uint8_t* bytes) {
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
        value = __builtin_bswap32(value);
    }
    std::memcpy(bytes, &value, sizeof value);
}

inline uint32_t RotateLeft(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// The round functions in forms with fewer operations than the RFC's, same results.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (z & (x ^ y));
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

#define QAV_MD5_STEP(f, a, b, c, d, k, t, s)           \
    a += f(b, c, d) + x[k] + static_cast<uint32_t>(t); \
    a = RotateLeft(a, s) + b

}  // namespace

Md5::Md5() : m_state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u} {}

void Md5::Transform(const uint8_t* blocks, size_t count) {
    uint32_t a = m_state[0];
    uint32_t b = m_state[1];
    uint32_t c = m_state[2];
    uint32_t d = m_state[3];
    for (; count > 0; --count, blocks += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) {
            x[i] = LoadLittleEndian32(blocks + 4 * i);
        }
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        QAV_MD5_STEP(F, a, b, c, d, 0, 0xd76aa478, 7);
        QAV_MD5_STEP(F, d, a, b, c, 1, 0xe8c7b756, 12);
        QAV_MD5_STEP(F, c, d, a, b, 2, 0x242070db, 17);
        QAV_MD5_STEP(F, b, c, d, a, 3, 0xc1bdceee, 22);
        QAV_MD5_STEP(F, a, b, c, d, 4, 0xf57c0faf, 7);
        QAV_MD5_STEP(F, d, a, b, c, 5, 0x4787c62a, 12);
        QAV_MD5_STEP(F, c, d, a, b, 6, 0xa8304613, 17);
        QAV_MD5_STEP(F, b, c, d, a, 7, 0xfd469501, 22);
        QAV_MD5_STEP(F, a, b, c, d, 8, 0x698098d8, 7);
        QAV_MD5_STEP(F, d, a, b, c, 9, 0x8b44f7af, 12);
        QAV_MD5_STEP(F, c, d, a, b, 10, 0xffff5bb1, 17);
        QAV_MD5_STEP(F, b, c, d, a, 11, 0x895cd7be, 22);
        QAV_MD5_STEP(F, a, b, c, d, 12, 0x6b901122, 7);
        QAV_MD5_STEP(F, d, a, b, c, 13, 0xfd987193, 12);
        QAV_MD5_STEP(F, c, d, a, b, 14, 0xa679438e, 17);
        QAV_MD5_STEP(F, b, c, d, a, 15, 0x49b40821, 22);

        QAV_MD5_STEP(G, a, b, c, d, 1, 0xf61e2562, 5);
        QAV_MD5_STEP(G, d, a, b, c, 6, 0xc040b340, 9);
        QAV_MD5_STEP(G, c, d, a, b, 11, 0x265e5a51, 14);
        QAV_MD5_STEP(G, b, c, d, a, 0, 0xe9b6c7aa, 20);
        QAV_MD5_STEP(G, a, b, c, d, 5, 0xd62f105d, 5);
        QAV_MD5_STEP(G, d, a, b, c, 10, 0x02441453, 9);
        QAV_MD5_STEP(G, c, d, a, b, 15, 0xd8a1e681, 14);
        QAV_MD5_STEP(G, b, c, d, a, 4, 0xe7d3fbc8, 20);
        QAV_MD5_STEP(G, a, b, c, d, 9, 0x21e1cde6, 5);
        QAV_MD5_STEP(G, d, a, b, c, 14, 0xc33707d6, 9);
        QAV_MD5_STEP(G, c, d, a, b, 3, 0xf4d50d87, 14);
        QAV_MD5_STEP(G, b, c, d, a, 8, 0x455a14ed, 20);
        QAV_MD5_STEP(G, a, b, c, d, 13, 0xa9e3e905, 5);
        QAV_MD5_STEP(G, d, a, b, c, 2, 0xfcefa3f8, 9);
        QAV_MD5_STEP(G, c, d, a, b, 7, 0x676f02d9, 14);
        QAV_MD5_STEP(G, b, c, d, a, 12, 0x8d2a4c8a, 20);

        QAV_MD5_STEP(H, a, b, c, d, 5, 0xfffa3942, 4);
        QAV_MD5_STEP(H, d, a, b, c, 8, 0x8771f681, 11);
        QAV_MD5_STEP(H, c, d, a, b, 11, 0x6d9d6122, 16);
        QAV_MD5_STEP(H, b, c, d, a, 14, 0xfde5380c, 23);
        QAV_MD5_STEP(H, a, b, c, d, 1, 0xa4beea44, 4);
        QAV_MD5_STEP(H, d, a, b, c, 4, 0x4bdecfa9, 11);
        QAV_MD5_STEP(H, c, d, a, b, 7, 0xf6bb4b60, 16);
        QAV_MD5_STEP(H, b, c, d, a, 10, 0xbebfbc70, 23);
        QAV_MD5_STEP(H, a, b, c, d, 13, 0x289b7ec6, 4);
        QAV_MD5_STEP(H, d, a, b, c, 0, 0xeaa127fa, 11);
        QAV_MD5_STEP(H, c, d, a, b, 3, 0xd4ef3085, 16);
        QAV_MD5_STEP(H, b, c, d, a, 6, 0x04881d05, 23);
        QAV_MD5_STEP(H, a, b, c, d, 9, 0xd9d4d039, 4);
        QAV_MD5_STEP(H, d, a, b, c, 12, 0xe6db99e5, 11);
        QAV_MD5_STEP(H, c, d, a, b, 15, 0x1fa27cf8, 16);
        QAV_MD5_STEP(H, b, c, d, a, 2, 0xc4ac5665, 23);

        QAV_MD5_STEP(I, a, b, c, d, 0, 0xf4292244, 6);
        QAV_MD5_STEP(I, d, a, b, c, 7, 0x432aff97, 10);
        QAV_MD5_STEP(I, c, d, a, b, 14, 0xab9423a7, 15);
        QAV_MD5_STEP(I, b, c, d, a, 5, 0xfc93a039, 21);
        QAV_MD5_STEP(I, a, b, c, d, 12, 0x655b59c3, 6);
        QAV_MD5_STEP(I, d, a, b, c, 3, 0x8f0ccc92, 10);
        QAV_MD5_STEP(I, c, d, a, b, 10, 0xffeff47d, 15);
        QAV_MD5_STEP(I, b, c, d, a, 1, 0x85845dd1, 21);
        QAV_MD5_STEP(I, a, b, c, d, 8, 0x6fa87e4f, 6);
        QAV_MD5_STEP(I, d, a, b, c, 15, 0xfe2ce6e0, 10);
        QAV_MD5_STEP(I, c, d, a, b, 6, 0xa3014314, 15);
        QAV_MD5_STEP(I, b, c, d, a, 13, 0x4e0811a1, 21);
        QAV_MD5_STEP(I, a, b, c, d, 4, 0xf7537e82, 6);
        QAV_MD5_STEP(I, d, a, b, c, 11, 0xbd3af235, 10);
        QAV_MD5_STEP(I, c, d, a, b, 2, 0x2ad7d2bb, 15);
        QAV_MD5_STEP(I, b, c, d, a, 9, 0xeb86d391, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    m_state[0] = a;
    m_state[1] = b;
    m_state[2] = c;
    m_state[3] = d;
}

#undef QAV_MD5_STEP

void Md5::Update(const void* data, size_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>((m_bitCount >> 3) & 63);
    m_bitCount += static_cast<uint64_t>(length) << 3;
    if (used > 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(m_block + used, bytes, take);
        bytes += take;
        length -= take;
        used += take;
        if (used < 64) {
            return;
        }
        Transform(m_block, 1);
    }
    if (length >= 64) {
        Transform(bytes, length / 64);
        bytes += length & ~static_cast<size_t>(63);
        length &= 63;
    }
    if (length > 0) {
        std::memcpy(m_block, bytes, length);
    }
}

void Md5::Final(uint8_t digest[kDigestSize]) {
    const uint64_t bitCount = m_bitCount;
    uint8_t padding[72] = {0x80};
    const size_t used = static_cast<size_t>((bitCount >> 3) & 63);
    // One 1 bit, zeros up to 56 bytes modulo 64, then the bit count.
    const size_t padLength = used < 56 ? 56 - used : 120 - used;
    Update(padding, padLength);
    uint8_t count[8];
    StoreLittleEndian32(static_cast<uint32_t>(bitCount), count);
    StoreLittleEndian32(static_cast<uint32_t>(bitCount >> 32), count + 4);
    Update(count, sizeof count);
    for (int i = 0; i < 4; ++i) {
        StoreLittleEndian32(m_state[i], digest + 4 * i);
    }
}

void Md5HexDigest(const void* data, size_t length, bool upperCase, std::string& out) {
    Md5 md5;
    md5.Update(data, length);
    uint8_t digest[Md5::kDigestSize];
    md5.Final(digest);
    HexEncodeToString(digest, static_cast<int>(sizeof digest), upperCase, out);
}

void Md5HexDigestW(WStringView text, WString& out) {
    // One Update per chunk keeps long texts (beyond the converter's int count) whole.
    constexpr size_t kChunkUnits = 1 << 20;
    Md5 md5;
    std::string bytes;
    size_t at = 0;
    do {
        const size_t count = std::min(kChunkUnits, text.size() - at);
        WideToUtf8(text.data() + at, static_cast<int>(count), bytes);
        md5.Update(bytes.data(), bytes.size());
        at += count;
    } while (at < text.size());
    uint8_t digest[Md5::kDigestSize];
    md5.Final(digest);
    std::string hex;
    HexEncodeToString(digest, static_cast<int>(sizeof digest), true, hex);
    out.assign(hex.begin(), hex.end());
}

}  // namespace qav
