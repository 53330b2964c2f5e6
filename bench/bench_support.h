// What the document benchmarks share to generate their inputs: a small deterministic
// random generator, so that every run measures the same text, and runs of words drawn
// from a benchmark's own pieces. One thread per generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qav::bench {

class Random {
  public:
    uint32_t Next(uint32_t bound) {
        m_seed = m_seed * 1103515245 + 12345;
        return (m_seed >> 16) % bound;
    }

  private:
    uint32_t m_seed = 2026;
};

// `minWords` plus up to `extraWords - 1` pieces drawn from `pieces`, each followed by a
// space, then "end".
template <size_t kPieceCount>
std::string WordRun(Random& random, const char* const (&pieces)[kPieceCount], uint32_t minWords,
                    uint32_t extraWords) {
    std::string run;
    for (uint32_t words = minWords + random.Next(extraWords); words > 0; --words) {
        run.append(pieces[random.Next(kPieceCount)]);
        run.push_back(' ');
    }
    run.append("end");
    return run;
}

}  // namespace qav::bench
