#include "core/text_similarity.h"

#include <algorithm>

namespace qav {

namespace {

bool IsWordCharacter(WChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

WChar FoldAsciiUpper(WChar c) {
    return c >= u'A' && c <= u'Z' ? static_cast<WChar>(c + (u'a' - u'A')) : c;
}

size_t CommonPrefixNoCase(const WString& a, const WString& b) {
    const size_t shorter = std::min(a.size(), b.size());
    size_t k = 0;
    while (k < shorter && FoldAsciiUpper(a[k]) == FoldAsciiUpper(b[k])) {
        ++k;
    }
    return k;
}

}  // namespace

void SplitWords(WStringView text, std::vector<WString>& words) {
    words.clear();
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && !IsWordCharacter(text[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && IsWordCharacter(text[i])) {
            ++i;
        }
        if (i > start) {
            words.emplace_back(text.substr(start, i - start));
        }
    }
}

bool SimilarityPairLess(const SimilarityPair& first, const SimilarityPair& second) {
    return first.score < second.score;
}

double TextSimilarity(WStringView a, WStringView b) {
    std::vector<WString> wordsA;
    std::vector<WString> wordsB;
    SplitWords(a, wordsA);
    SplitWords(b, wordsB);
    const size_t n = std::min(wordsA.size(), kMaxSimilarityWords);
    const size_t m = std::min(wordsB.size(), kMaxSimilarityWords);
    if (n == 0 || m == 0) {
        return 0;
    }

    std::vector<SimilarityPair> pairs;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < m; ++j) {
            const size_t k = CommonPrefixNoCase(wordsA[i], wordsB[j]);
            if (k > 0) {
                const size_t longer = std::max(wordsA[i].size(), wordsB[j].size());
                pairs.push_back({static_cast<double>(k) / static_cast<double>(longer), i, j});
            }
        }
    }
    std::sort(pairs.begin(), pairs.end(), SimilarityPairLess);

    std::vector<bool> takenA(n, false);
    std::vector<bool> takenB(m, false);
    double sum = 0;
    size_t count = 0;
    for (auto pair = pairs.rbegin(); pair != pairs.rend(); ++pair) {
        if (!takenA[pair->wordA] && !takenB[pair->wordB]) {
            takenA[pair->wordA] = true;
            takenB[pair->wordB] = true;
            sum += pair->score;
            ++count;
        }
    }
    return static_cast<double>(count) * sum / static_cast<double>(std::max(n, m));
}

}  // namespace qav
