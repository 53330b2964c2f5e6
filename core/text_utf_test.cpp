#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/format.h"
#include "core/text_utils.h"

namespace qav {
namespace {

using namespace std::string_literals;

std::string Hex(std::string_view bytes) {
    std::string text;
    HexEncodeToString(bytes.data(), static_cast<int>(bytes.size()), true, text);
    return text;
}

std::string Hex(WStringView units) {
    std::string text;
    for (WChar unit : units) {
        text += FormatString("%04X ", unit);
    }
    return text;
}

WString PairOf(uint32_t code) {
    code -= 0x10000;
    return {static_cast<WChar>(0xD800 | (code >> 10)), static_cast<WChar>(0xDC00 | (code & 0x3FF))};
}

WString LenientDecode(std::string_view bytes, int* invalid) {
    WString out;
    Utf8ToWide(bytes.data(), static_cast<int>(bytes.size()), out, invalid);
    return out;
}

// Every unit, in runs of ASCII of every length so that the bulk paths meet
// non-ASCII at every alignment.
TEST(TextUtf, EveryUnitRoundTripsThroughBothFlavours) {
    // Every unit but the surrogates, which travel only in pairs (a lone one cannot be
    // told from a broken sequence, so it comes back as U+FFFD).
    WString text;
    for (uint32_t unit = 1; unit <= 0xFFFF; ++unit) {
        if (unit < 0xD800 || unit > 0xDFFF) {
            text.append(unit % 19, u'a').push_back(static_cast<WChar>(unit));
        }
    }
    for (uint32_t code = 0x10000; code <= 0x10FFFF; code += 0x3FF1) {
        text.append(code % 9, u'b') += PairOf(code);
    }
    std::string protocol;
    const int length = WideToUtf8(text.data(), static_cast<int>(text.size()), protocol);
    ASSERT_EQ(static_cast<size_t>(length), protocol.size());
    int invalid = -1;
    EXPECT_EQ(LenientDecode(protocol, &invalid), text) << "protocol flavour";
    EXPECT_EQ(invalid, 0);

    WString valid = text + PairOf(0x10FFFF);
    std::string strict;
    ASSERT_TRUE(WideToUtf8Strict(valid, strict));
    WString back;
    ASSERT_TRUE(Utf8ToWideStrict(strict, back));
    EXPECT_EQ(back, valid) << "strict flavour";
    EXPECT_EQ(LenientDecode(strict, &invalid), valid) << "lenient decoder reads strict UTF-8";
    EXPECT_EQ(invalid, 0);
}

TEST(TextUtf, EncodersWriteTheExpectedBytes) {
    const struct {
        WString text;
        std::string protocol;
        std::string strict;  // empty: refused
    } cases[] = {{u"A\u00E9", "41C3A9", "41C3A9"},
                 {u"\u20AC", "E282AC", "E282AC"},
                 {u"\u07FF\u0800\uFFFF", "DFBFE0A080EFBFBF", "DFBFE0A080EFBFBF"},
                 {PairOf(0x1F600), "EDA0BDEDB880", "F09F9880"},
                 {PairOf(0x10FFFF), "EDAFBFEDBFBF", "F48FBFBF"},
                 {u"x\xD800", "78EDA080", ""},
                 {u"\xDC00x", "EDB08078", ""},
                 {u"\xDE00\xD83D", "EDB880EDA0BD", ""}};
    for (const auto& c : cases) {
        std::string bytes;
        WideToUtf8(c.text.data(), static_cast<int>(c.text.size()), bytes);
        EXPECT_EQ(Hex(bytes), c.protocol) << Hex(c.text);
        bytes = "stale";
        EXPECT_EQ(WideToUtf8Strict(c.text, bytes), !c.strict.empty()) << Hex(c.text);
        EXPECT_EQ(Hex(bytes), c.strict) << Hex(c.text);
    }
}

TEST(TextUtf, LenientDecoderOnBrokenInput) {
    const struct {
        std::string bytes;
        WString units;
        int invalidPosition;
    } cases[] = {
        // Cut or broken sequences: the longest part that could have begun a valid
        // sequence becomes one U+FFFD, and decoding goes on.
        {"\xC3\x28", u"\uFFFD(", 1},
        {"\xC3", u"\uFFFD", 1},
        {"A\xC3", u"A\uFFFD", 2},
        {"A\x80\x41", u"A\uFFFDA", 2},
        {"abc\xE2\x28\xAC", u"abc\uFFFD(\uFFFD", 4},
        {"\xF0\x9F\x98", u"\uFFFD", 1},
        {"\xF0\x9F\x28\x80", u"\uFFFD(\uFFFD", 1},
        {"\x80\x80\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD", 1},
        {"caf\xE9 au lait", u"caf\uFFFD au lait", 4},  // Latin-1
        // Overlong forms never decode to ASCII (a NUL, a '/').
        {"\xC0\x80", u"\uFFFD\uFFFD", 1},
        {"\xC0\xAF", u"\uFFFD\uFFFD", 1},
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", 1},
        {"\xF0\x80\x81\x81", u"\uFFFD\uFFFD\uFFFD\uFFFD", 1},
        // Beyond U+10FFFF, and leads no sequence has.
        {"\xF4\x90\x80\x81", u"\uFFFD\uFFFD\uFFFD\uFFFD", 1},
        {"\xF8\x88\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", 1},
        {"\xFF\xBF", u"\uFFFD\uFFFD", 1},
        // A surrogate pair as two three-byte sequences (as the encoder writes it) is the
        // pair; a lone or misordered encoded surrogate is invalid.
        {"\xED\xA0\xBD\xED\xB8\x80", PairOf(0x1F600), 0},
        {"\xF0\x9F\x98\x80", PairOf(0x1F600), 0},
        {"\xED\xA0\x80x", u"\uFFFD\uFFFD\uFFFDx", 1},
        {"\xED\xB8\x80\xED\xA0\xBD", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", 1},
        {"\xED\xA0\xBD\xC3\xA9", u"\uFFFD\uFFFD\uFFFD\u00E9", 1},
        {"\xED\x9F\xBF", u"\uD7FF", 0},
    };
    // Behind ASCII runs of any length, so that the bulk paths (8 and 16 bytes) hand over
    // at every offset.
    for (const auto& c : cases) {
        for (size_t run : {0, 1, 7, 8, 9, 15, 16, 17, 23, 31, 32}) {
            int invalid = -1;
            const WString units = LenientDecode(std::string(run, 'x') + c.bytes, &invalid);
            EXPECT_EQ(Hex(units), Hex(WString(run, u'x') + c.units))
                << Hex(c.bytes) << " after " << run;
            EXPECT_EQ(invalid,
                      c.invalidPosition == 0 ? 0 : c.invalidPosition + static_cast<int>(run))
                << Hex(c.bytes) << " after " << run;
            // The buffer form stores nothing past its NUL, whatever follows where it stops.
            const std::string longer = std::string(run, 'x') + c.bytes + std::string(16, 'z');
            std::vector<WChar> buffer(longer.size() + 2, u'#');
            const int decoded =
                Utf8ToWideBuffer(longer.data(), static_cast<int>(longer.size()), buffer.data(),
                                 static_cast<int>(buffer.size()), nullptr);
            EXPECT_TRUE(std::all_of(buffer.begin() + decoded + 1, buffer.end(),
                                    [](WChar unit) { return unit == u'#'; }))
                << Hex(c.bytes) << " after " << run;
        }
    }
}

TEST(TextUtf, StrictDecoderRefusesWhatIsNotUtf8) {
    // Stray continuations, overlong forms, surrogates, beyond U+10FFFF, cut-off sequences.
    const std::string refused[] = {
        "\x80",         "\xC0\x80",         "\xC1\xBF",         "\xE0\x9F\xBF",
        "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
        "\xFF",         "\xC3\x28",         "\xF0\x9F\x98\x28", "abcdefgh\xF0\x9F\x98"};
    for (const std::string& bytes : refused) {
        WString out = u"stale";
        EXPECT_FALSE(Utf8ToWideStrict(bytes, out)) << Hex(bytes);
        EXPECT_TRUE(out.empty()) << Hex(bytes);
    }
    const struct {
        std::string bytes;
        WString units;
    } accepted[] = {{std::string("\0", 1), WString(1, 0)},
                    {"\xC2\x80\xDF\xBF", u"\x0080\x07FF"},
                    {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", u"\x0800\xD7FF\xE000"},
                    {"\xF0\x90\x80\x80", PairOf(0x10000)}};
    for (const auto& c : accepted) {
        WString out;
        EXPECT_TRUE(Utf8ToWideStrict(c.bytes, out)) << Hex(c.bytes);
        EXPECT_EQ(Hex(out), Hex(c.units)) << Hex(c.bytes);
    }
}

// Every capacity of a longer mixed text: the buffer holds the longest run of whole
// characters that fits before the NUL, whichever path of the converter got there, and
// nothing is written beyond that NUL (nothing at all for a capacity of 0).
TEST(TextUtf, EveryCapacityGivesTheLongestWholePrefix) {
    WString text = u"plain ascii text, then ";
    text += u"\u00E9t\u00E9 \u20AC\u4E2D" + PairOf(0x1F600) + u"abcdefghijklmnop\u07FF" +
            u"\u4E00\u4E01\u4E02\u4E03\u4E04\u4E05\u4E06\u4E07\u4E08";
    std::string strict, protocol;
    ASSERT_TRUE(WideToUtf8Strict(text, strict));
    WideToUtf8(text.data(), static_cast<int>(text.size()), protocol);

    for (int capacity = 0; capacity <= static_cast<int>(strict.size()) + 2; ++capacity) {
        // The decoder never splits a pair; the protocol's encoder cuts between any units.
        size_t units = 0, bytes = 0;
        for (size_t u = 0, at = 0; u < text.size(); ++u) {
            at += text[u] < 0x80 ? 1 : text[u] < 0x800 ? 2 : 3;
            bytes = at < static_cast<size_t>(capacity) ? at : bytes;
            const bool highHalf = text[u] >= 0xD800 && text[u] <= 0xDBFF;
            units = !highHalf && u + 1 < static_cast<size_t>(capacity) ? u + 1 : units;
        }
        std::vector<WChar> wide(capacity + 2, u'#');
        const int decoded = Utf8ToWideBuffer(strict.data(), static_cast<int>(strict.size()),
                                             wide.data(), capacity, nullptr);
        EXPECT_EQ(Hex(WStringView(wide.data(), decoded)), Hex(text.substr(0, units)))
            << "capacity " << capacity;
        EXPECT_EQ(wide[decoded], capacity == 0 ? u'#' : 0) << "capacity " << capacity;
        EXPECT_EQ(wide[decoded + 1], u'#') << "capacity " << capacity;

        std::vector<char> narrow(capacity + 2, '#');
        const int encoded =
            WideToUtf8Buffer(text.data(), static_cast<int>(text.size()), narrow.data(), capacity);
        EXPECT_EQ(Hex(std::string_view(narrow.data(), encoded)), Hex(protocol.substr(0, bytes)))
            << "capacity " << capacity;
        EXPECT_EQ(narrow[encoded], capacity == 0 ? '#' : 0) << "capacity " << capacity;
        EXPECT_EQ(narrow[encoded + 1], '#') << "capacity " << capacity;
    }
}

}  // namespace
}  // namespace qav
