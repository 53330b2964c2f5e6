// A fuzzy, word-by-word score of how alike two short texts are, used to match a device
// name typed by a user or reported by a peer to the closest known one. It forgives case,
// word order and shortened words ("cam" against "camera").
//
// Typical usage:
//   double best = 0;
//   for (const WString& known : names) best = std::max(best, TextSimilarity(typed, known));
//
// No state: any thread may call any function.
#pragma once

#include <cstddef>
#include <vector>

#include "core/wide_text.h"

namespace qav {

// Only this many leading words of each text take part in a score, so that a hostile
// name costs at most this many squared word pairs; device names have a handful of words.
constexpr size_t kMaxSimilarityWords = 256;

// One word of the first text matched with one word of the second.
struct SimilarityPair {
    double score = 0;  // common prefix length / longer word's length, above 0
    size_t wordA = 0;
    size_t wordB = 0;
};

// The words of `text` in order and case as they stand: maximal runs of ASCII letters
// and digits. Anything else separates words and is dropped. `words` is replaced.
void SplitWords(WStringView text, std::vector<WString>& words);

// 0 when either text has no word. Otherwise every word pair sharing a case-folded
// prefix is scored, the best pairs are taken greedily (each word at most once), and the
// result is count x sum / max(word counts), so identical texts of n words give n.
double TextSimilarity(WStringView a, WStringView b);

// The ordering of pairs by score, smallest first.
bool SimilarityPairLess(const SimilarityPair& first, const SimilarityPair& second);

}  // namespace qav
