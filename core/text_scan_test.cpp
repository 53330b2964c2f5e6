#include "core/text_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>

#include <sys/mman.h>
#include <string>
#include <vector>

namespace qav {
namespace {

// Units that sit on every edge the block steps test: the NUL, controls, the markup and
// escape characters, the ASCII limit, the byte limit, the sign bit of a 16-bit lane.
constexpr uint16_t kEdgeUnits[] = {0,     1,     0x1F,   0x20,   '"',    '&',    '\'',  '/',
                                   '<',   '>',   '\\',   'a',    0x7F,   0x80,   0xFF,  0x100,
                                   0x7FF, 0x800, 0x7FFF, 0x8000, 0xD800, 0xFFFD, 0xFFFF};

template <typename Char>
std::vector<Char> RandomText(std::mt19937& random, size_t size) {
    std::vector<Char> text(size);
    for (Char& c : text) {
        // Mostly edge units, so that every lane meets every class often.
        const uint16_t unit = random() % 4 != 0 ? kEdgeUnits[random() % std::size(kEdgeUnits)]
                                                : static_cast<uint16_t>(random());
        c = static_cast<Char>(unit);
    }
    return text;
}

template <ScanSet kSet, typename Char>
void ExpectMatchLanesAgree(const std::vector<Char>& text) {
    for (size_t at = 0; at + kScanLanes<Char> <= text.size(); ++at) {
        const unsigned lanes = MatchLanesPlain<kSet>(text.data() + at);
        ASSERT_EQ(MatchLanes<kSet>(text.data() + at), lanes) << "at " << at;
        ASSERT_EQ(AnyInSet<kSet>(text.data() + at), lanes != 0) << "at " << at;
        ASSERT_EQ(FirstInSet<kSet>(text.data() + at),
                  lanes == 0 ? kScanLanes<Char> : static_cast<size_t>(__builtin_ctz(lanes)))
            << "at " << at;
    }
}

template <typename Char>
void ExpectBlockStepsAgree(std::mt19937& random) {
    const std::vector<Char> text = RandomText<Char>(random, 64);
    ExpectMatchLanesAgree<kXmlEscapedSet>(text);
    ExpectMatchLanesAgree<WithNonAscii(kXmlEscapedSet)>(text);
    ExpectMatchLanesAgree<kJsonEscapedSet>(text);
    ExpectMatchLanesAgree<WithNonAscii(kJsonEscapedSet)>(text);
    ExpectMatchLanesAgree<ScanSetOf(0, true)>(text);
    ExpectMatchLanesAgree<ScanSetOf(0, false, '&')>(text);
    ExpectMatchLanesAgree<ScanSetOf(0x80, false)>(text);
    const Char first = text[0];
    const Char second = text[1];
    for (size_t at = 0; at + kScanLanes<Char> <= text.size(); ++at) {
        ASSERT_EQ(EqualLanes(text.data() + at, first, second),
                  EqualLanesPlain(text.data() + at, first, second));
    }
}

// The block steps against their plain forms, lane by lane, on random blocks of both
// widths; under QAV_PORTABLE_SCAN both sides are the plain form and this still runs.
TEST(TextScan, BlockStepsAgreeWithThePlainForms) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        ExpectBlockStepsAgree<char>(random);
        ExpectBlockStepsAgree<WChar>(random);
    }
    for (int round = 0; round < 200; ++round) {
        const std::vector<char> bytes = RandomText<char>(random, 16);
        WChar wide[16];
        WChar widePlain[16];
        WidenBlock(bytes.data(), wide);
        WidenBlockPlain(bytes.data(), widePlain);
        ASSERT_EQ(0, std::memcmp(wide, widePlain, sizeof wide));
        std::vector<WChar> units = RandomText<WChar>(random, 8);
        for (WChar& unit : units) {
            unit &= 0x7F;  // narrowing is for ASCII
        }
        char narrow[8];
        char narrowPlain[8];
        NarrowBlock(units.data(), narrow);
        NarrowBlockPlain(units.data(), narrowPlain);
        ASSERT_EQ(0, std::memcmp(narrow, narrowPlain, sizeof narrow));
    }
}

template <typename Char>
size_t SlowFind(const std::vector<Char>& text, size_t from, bool (*matches)(uint32_t)) {
    for (size_t i = from; i < text.size(); ++i) {
        if (matches(ScanUnit(text[i]))) {
            return i;
        }
    }
    return text.size();
}

template <typename Char>
void ExpectSearchesAgree(std::mt19937& random) {
    // Sparse matches, so that searches cross several blocks and end in the tail.
    std::vector<Char> text(random() % 80);
    for (Char& c : text) {
        c = random() % 24 != 0 ? Char('x') : static_cast<Char>(kEdgeUnits[random() % 11]);
    }
    for (size_t from = 0; from <= text.size() + 1; ++from) {
        ASSERT_EQ(FindInSet<kXmlEscapedSet>(text.data(), text.size(), from),
                  SlowFind(text, from, IsInScanSet<kXmlEscapedSet>))
            << "from " << from;
        ASSERT_EQ(FindEither(text.data(), text.size(), from, Char('<'), Char('&')),
                  SlowFind<Char>(text, from, [](uint32_t c) { return c == '<' || c == '&'; }))
            << "from " << from;
    }
    // The search of a NUL-terminated text stops at the first match or at the NUL.
    std::vector<Char> terminated = text;
    terminated.push_back(0);
    const size_t found = static_cast<size_t>(FindInTerminated<kJsonEscapedSet>(terminated.data()) -
                                             terminated.data());
    ASSERT_EQ(found, SlowFind(terminated, 0, IsInScanSet<kJsonEscapedSet>));
}

TEST(TextScan, SearchesFindTheFirstMatch) {
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        ExpectSearchesAgree<char>(random);
        ExpectSearchesAgree<WChar>(random);
    }
}

// The search of a NUL-terminated text reads no page the text does not reach into: a
// text that ends just before an unreadable page is searched to its end.
TEST(TextScan, TerminatedSearchReadsNoFurtherPage) {
    constexpr size_t kPage = 4096;
    void* pages =
        mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, pages);
    ASSERT_EQ(0, mprotect(static_cast<char*>(pages) + kPage, kPage, PROT_NONE));
    auto* pageEnd = reinterpret_cast<WChar*>(static_cast<char*>(pages) + kPage);
    for (size_t length = 0; length < 40; ++length) {
        WChar* text = pageEnd - length - 1;
        for (size_t i = 0; i < length; ++i) {
            text[i] = u'x';
        }
        text[length] = 0;
        EXPECT_EQ(text + length, FindInTerminated<kJsonEscapedSet>(text)) << length;
        if (length > 0) {
            text[length - 1] = u'"';
            EXPECT_EQ(text + length - 1, FindInTerminated<kJsonEscapedSet>(text)) << length;
        }
    }
    munmap(pages, 2 * kPage);
}

// The ASCII runs stop at the first unit from 0x80 on and write nothing past it: the
// decoders hand them the caller's own buffers.
TEST(TextScan, AsciiRunsStopAtTheFirstNonAsciiUnit) {
    std::mt19937 random(13);
    for (int round = 0; round < 300; ++round) {
        const size_t size = random() % 70;
        const size_t stop = random() % (size + 1);
        std::string bytes(size, 'a');
        std::u16string units(size, u'a');
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(0x20 + random() % 0x5F);
            units[i] = static_cast<WChar>(bytes[i]);
        }
        if (stop < size) {
            bytes[stop] = static_cast<char>(0x80 | random());
            units[stop] = static_cast<WChar>(0x80 + random() % 0xFF00);
        }
        std::u16string wide(size + 1, u'#');
        ASSERT_EQ(stop, WidenAsciiRun(bytes.data(), size, wide.data()));
        EXPECT_EQ(units.substr(0, stop), wide.substr(0, stop));
        EXPECT_EQ(std::u16string(size + 1 - stop, u'#'), wide.substr(stop));
        std::string narrow(size + 1, '#');
        ASSERT_EQ(stop, NarrowAsciiRun(units.data(), size, narrow.data()));
        EXPECT_EQ(bytes.substr(0, stop), narrow.substr(0, stop));
        EXPECT_EQ(std::string(size + 1 - stop, '#'), narrow.substr(stop));
        EXPECT_EQ(stop, AsciiRunLength(bytes.data(), size));
    }
}

}  // namespace
}  // namespace qav
