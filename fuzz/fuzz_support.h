// What the fuzz targets would otherwise each repeat: the check that ends a run on a broken
// invariant, and the cursor their own input readers build on. One thread per target run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace qav::fuzz {

// Aborts, so the fuzzer keeps the input that broke the invariant as a crash.
inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The input byte by byte; past its end every byte is 0, so a short input still runs to the
// end of its operations. Targets derive from it to add the readers only they need.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }

  protected:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

}  // namespace qav::fuzz
