#include "core/text_similarity.h"

#include <gtest/gtest.h>

namespace qav {
namespace {

TEST(TextSimilarity, ScoresWordPairsGreedily) {
    std::vector<WString> words = {u"left over"};
    SplitWords(u" Cam_2,x\u00E9y\tZ9 ", words);
    EXPECT_EQ(words, (std::vector<WString>{u"Cam", u"2", u"x", u"y", u"Z9"}));

    const std::tuple<WStringView, WStringView, double> kCases[] = {
        {u"", u"camera", 0},
        {u"-- \u00E9!", u"camera", 0},
        {u"Camera 1", u"camera 1", 2},                    // case folded
        {u"Cam", u"Camera", 0.5},                         // a prefix of half the length
        {u"front door camera", u"camera front door", 3},  // word order does not matter
        {u"a a", u"a", 0.5},                              // a word pairs only once
        {u"garage camer", u"garden camera", 2 * (0.5 + 5.0 / 6) / 2},
    };
    for (const auto& [a, b, expected] : kCases) {
        const std::string text =
            std::string(a.begin(), a.end()) + " | " + std::string(b.begin(), b.end());
        EXPECT_DOUBLE_EQ(TextSimilarity(a, b), expected) << text;
        EXPECT_DOUBLE_EQ(TextSimilarity(b, a), expected) << "reversed " << text;
    }
    // A hostile name of 200,000 words costs no more pairs than kMaxSimilarityWords squared.
    WString many;
    for (int i = 0; i < 200000; ++i) {
        many += u"a ";
    }
    EXPECT_DOUBLE_EQ(TextSimilarity(many, many), double{kMaxSimilarityWords});
}

}  // namespace
}  // namespace qav
