// MD5 (RFC 1321) and its hexadecimal text, for digests that peers compare (passwords,
// file checks). Not for new security uses.
//
// Typical usage:
//   std::string digest;
//   Md5HexDigest(bytes.data(), bytes.size(), true, digest);   // 32 upper-case digits
//
// Threads: no shared state; an Md5 object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/wide_text.h"

namespace qav {

// Incremental digest: any number of Update calls, then one Final.
class Md5 {
  public:
    static constexpr size_t kDigestSize = 16;

    Md5();
    void Update(const void* data, size_t length);
    // Writes the digest; the object is then spent (start a new one for the next digest).
    void Final(uint8_t digest[kDigestSize]);

  private:
    void Transform(const uint8_t* blocks, size_t count);

    uint64_t m_bitCount = 0;
    uint32_t m_state[4];
    uint8_t m_block[64];
};

// The digest of the bytes as 32 hexadecimal characters, upper case when `upperCase` is
// set, else lower case.
void Md5HexDigest(const void* data, size_t length, bool upperCase, std::string& out);

// The digest of the text's UTF-8 bytes (each UTF-16 unit encoded on its own) as 32
// upper-case hexadecimal characters.
void Md5HexDigestW(WStringView text, WString& out);

}  // namespace qav
