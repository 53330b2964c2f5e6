#include "core/text_utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace qav {
namespace {

using namespace std::string_literals;

std::string Narrow(WStringView text) {
    return std::string(text.begin(), text.end());
}

TEST(TextNumbers, WrittenAsText) {
    std::string narrow;
    WString wide;
    IntToString(INT32_MIN, narrow);
    EXPECT_EQ(narrow, "-2147483648");
    UInt64ToHexWString(0xABCull, wide);
    EXPECT_EQ(wide, u"0x0000000000000ABC");
    UInt64ToHexWString(UINT64_MAX, wide);
    EXPECT_EQ(wide, u"0xFFFFFFFFFFFFFFFF");
    const std::pair<double, const char*> doubles[] = {
        {0.1, "0.1"},
        {1e20, "1e+20"},
        {1e-5, "1e-05"},
        // In full: the shortest text that reads back to the same double.
        {123456789.0, "123456789"},
        {123.456789, "123.456789"},
        {-0.30000000000000004, "-0.30000000000000004"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1234567.0, "1234567"},
        {0.0, "0"}};
    for (const auto& [value, text] : doubles) {
        DoubleToWString(value, wide);
        EXPECT_EQ(Narrow(wide), text) << value;
    }
}

TEST(TextNumbers, FormatByteSizeThresholds) {
    const std::pair<uint64_t, const char*> cases[] = {
        {1023, "1023 bytes"},       {1024, "1.0 KB"},           {1048575, "1024.0 KB"},
        {1048576, "1.00 MB"},       {1073741823, "1024.00 MB"}, {1073741824, "1.000 GB"},
        {5ull << 40, "5120.000 GB"}};
    for (const auto& [bytes, expected] : cases) {
        std::string text;
        FormatByteSize(bytes, text);
        EXPECT_EQ(text, expected) << bytes;
    }
}

TEST(TextNumbers, WStringToIntReadsAndSaturates) {
    const std::pair<WString, int32_t> cases[] = {{u"", 0},
                                                 {u"abc", 0},
                                                 {u" \t\r\n\v\f-42x", -42},
                                                 {u"+7", 7},
                                                 {u"- 5", 0},
                                                 {u"2147483647", INT32_MAX},
                                                 {u"2147483648", INT32_MAX},
                                                 {u"-2147483648", INT32_MIN},
                                                 {u"-2147483649", INT32_MIN},
                                                 {u"-4294967296000000", INT32_MIN},
                                                 {u"10000000000000000000", INT32_MAX},
                                                 {u"\u00A012", 0},
                                                 {u"\uFF11", 0}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(WStringToInt(text), value) << Narrow(text);
    }
    // A magnitude that would wrap 64 bits must saturate, not come back small.
    const std::pair<WString, int64_t> wide[] = {
        {u"9223372036854775807", INT64_MAX},   {u"-9223372036854775808", INT64_MIN},
        {u"9223372036854775808", INT64_MAX},   {u"18446744073709551620", INT64_MAX},
        {u"-18446744073709551620", INT64_MIN}, {u"1152921504606846976", int64_t{1} << 60}};
    for (const auto& [text, value] : wide) {
        EXPECT_EQ(WStringToInt64(text), value) << Narrow(text);
    }
}

// Values that steer this process are read whole or not at all: garbage never reads as 0.
TEST(TextNumbers, ParseDecimalInt32TakesOnlyAWholeNumberInRange) {
    const std::pair<WString, int32_t> numbers[] = {{u"0", 0},
                                                   {u"200", 200},
                                                   {u"+7", 7},
                                                   {u" \t42\r\n", 42},
                                                   {u"-0", 0},
                                                   {u"2147483647", INT32_MAX},
                                                   {u"-2147483648", INT32_MIN},
                                                   {u"000000000000000000000000012", 12}};
    for (const auto& [text, expected] : numbers) {
        int32_t value = -99;
        EXPECT_TRUE(ParseDecimalInt32(text, value)) << Narrow(text);
        EXPECT_EQ(value, expected) << Narrow(text);
    }
    const WString refused[] = {
        u"",       u" ",       u"abc",        u"-",           u"--5",
        u"+-5",    u"- 5",     u"0x80000000", u"12abc",       u"1 2",
        u"5-",     u"1.5",     u"2147483648", u"-2147483649", u"18446744073709551616",
        u"\uFF11", u"\u00A012"};
    for (const WString& text : refused) {
        int32_t value = -99;
        EXPECT_FALSE(ParseDecimalInt32(text, value)) << Narrow(text);
        EXPECT_EQ(value, -99) << "left untouched: " << Narrow(text);
    }
    const std::pair<WString, bool> wide[] = {{u"9223372036854775807", true},
                                             {u"-9223372036854775808", true},
                                             {u"9223372036854775808", false},
                                             {u"-9223372036854775809", false},
                                             {u"0x10", false}};
    for (const auto& [text, taken] : wide) {
        int64_t value = -99;
        EXPECT_EQ(ParseDecimalInt64(text, value), taken) << Narrow(text);
        EXPECT_EQ(value == -99, !taken) << Narrow(text);
    }
    int64_t value = 0;
    ASSERT_TRUE(ParseDecimalInt64(u"-9223372036854775808", value));
    EXPECT_EQ(value, INT64_MIN);
}

// The one digit reader: where the digits end, and a value beyond 64 bits flagged, not
// wrapped, in any base and width of character.
TEST(TextNumbers, ReadDigitsStopsAtTheFirstOtherUnitAndNeverWraps) {
    const struct {
        std::string text;
        int base;
        size_t count;
        uint64_t value;
        bool beyond;
    } cases[] = {
        {"", 10, 0, 0, false},
        {"12ab", 10, 2, 12, false},
        {"12ab", 16, 4, 0x12AB, false},
        {"778", 8, 2, 077, false},
        {"18446744073709551615", 10, 20, UINT64_MAX, false},
        {"18446744073709551616", 10, 20, UINT64_MAX, true},
        {"184467440737095516150", 10, 21, UINT64_MAX, true},
        {"FFFFFFFFFFFFFFFF", 16, 16, UINT64_MAX, false},
        {"10000000000000000", 16, 17, UINT64_MAX, true},
        {"100000000000000000000x", 16, 21, UINT64_MAX, true},
        {"-1", 10, 0, 0, false},
    };
    for (const auto& c : cases) {
        const WString wide(c.text.begin(), c.text.end());
        for (const DigitsRead read : {ReadDigits(std::string_view(c.text), c.base),
                                      ReadDigits(WStringView(wide), c.base)}) {
            EXPECT_EQ(read.count, c.count) << c.text << " base " << c.base;
            EXPECT_EQ(read.value, c.value) << c.text << " base " << c.base;
            EXPECT_EQ(read.beyond64Bits, c.beyond) << c.text << " base " << c.base;
        }
    }
    EXPECT_EQ(ReadDigits(WStringView(u"1\uFF11"), 10).count, 1u);
    EXPECT_EQ(ReadDigits(std::string_view("1\xC3\xA9"), 16).count, 1u);
}

TEST(TextNumbers, YesAndDigitTests) {
    for (WString yes : {u"T", u"true", u"y", u"Yes"}) {
        EXPECT_TRUE(IsYesText(yes)) << Narrow(yes);
    }
    for (WString no : {u"", u"N", u" yes"}) {
        EXPECT_FALSE(IsYesText(no)) << Narrow(no);
    }
    EXPECT_TRUE(IsAllDigitsW(u"x", 0));
    EXPECT_TRUE(IsAllDigitsW(u"0189x", 4));
    EXPECT_FALSE(IsAllDigitsW(u"0189/", 5));
    EXPECT_TRUE(IsAllDigits("0123459abc"));
    EXPECT_FALSE(IsAllDigits("12345"));
    EXPECT_FALSE(IsAllDigits("12345:"));
}

// When more parts follow than fit, the last byte is stored but left out of the count.
TEST(TextNumbers, ParseDottedDecimal) {
    const struct {
        WString text;
        int maxChars, capacity;
        std::vector<uint8_t> bytes;  // every byte stored
        bool lastUncounted;
    } cases[] = {{u"192.168.0.1", 99, 4, {192, 168, 0, 1}, false},
                 {u"1.256.0.0", 99, 4, {1}, false},
                 {u"", 99, 4, {}, false},
                 {u"255.0255.000.9", 99, 4, {255, 255, 0, 9}, false},
                 {u"1.2.3.4.5", 99, 4, {1, 2, 3, 4}, true},
                 {u"7.8", 99, 1, {7}, true},
                 {u"1.2.", 99, 4, {1, 2}, false},
                 {u"1..2", 99, 4, {1}, false},
                 {u".1", 99, 4, {}, false},
                 {u"10.20x.30", 99, 4, {10, 20}, false},
                 {u"10.20.30", 4, 4, {10, 2}, false},
                 {u"1.2\0003"s, 99, 4, {1, 2}, false},
                 {u"7", 99, 0, {}, false}};
    for (const auto& c : cases) {
        uint8_t out[8];
        std::memset(out, 0xEE, sizeof out);
        const int count = ParseDottedDecimal(c.text.c_str(), c.maxChars, out, c.capacity);
        const int stored = static_cast<int>(c.bytes.size());
        EXPECT_EQ(count, c.lastUncounted ? stored - 1 : stored) << Narrow(c.text);
        EXPECT_EQ(std::vector<uint8_t>(out, out + stored), c.bytes) << Narrow(c.text);
        EXPECT_EQ(out[stored], 0xEE) << Narrow(c.text);
    }
}

TEST(TextNumbers, LoadUInt64InBothOrders) {
    const uint8_t bytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(LoadUInt64LE(bytes), 0xEFCDAB8967452301ull);
    EXPECT_EQ(LoadUInt64BE(bytes), 0x0123456789ABCDEFull);
}

TEST(TextAscii, CompareNoCaseAsciiW) {
    const struct {
        WString a, b;
        int result;
    } cases[] = {{u"abc", u"ABD", -3},    {u"abc", u"ab", 3},
                 {u"ab", u"abc", -3},     {u"", u"x", -1},
                 {u"", u"", 0},           {u"HeLLo", u"hEllO", 0},
                 {u"a", u"_", -1},        {u"\u00E9", u"\u00C9", 1},
                 {u"a\0b"s, u"a\0c"s, -3}};
    for (const auto& c : cases) {
        EXPECT_EQ(CompareNoCaseAsciiW(c.a, c.b), c.result) << Narrow(c.a) << " vs " << Narrow(c.b);
    }
}

TEST(TextAscii, CaseAndCleaning) {
    std::string narrow;
    EXPECT_EQ(CopyLowerAscii("AbZ@[\xC3\x89xyz", 7, narrow), 7);
    EXPECT_EQ(narrow, "abz@[\xC3\x89");
    WString wide = u"AZaz@[\u00C0\u0130";
    EXPECT_EQ(MakeLowerAsciiW(wide), 8);
    EXPECT_EQ(wide, u"azaz@[\u00C0\u0130");

    wide = u"a-b c";
    SanitizeNameW(wide);
    EXPECT_EQ(wide, u"a_b_c");
    wide = u"09AZaz/:@[`{\x7F\x80\x81\u20AC\0"s;
    SanitizeNameW(wide);
    EXPECT_EQ(wide, u"09AZaz________\x81\u20AC_"s);

    const std::pair<std::string, std::string> trims[] = {
        {"", ""},          {" \t\r\n", ""}, {"\x01 a b \x20", "a b"}, {"\xC3\xA9 ", "\xC3\xA9"},
        {" \x7F", "\x7F"}, {"x", "x"}};
    for (const auto& [original, trimmed] : trims) {
        std::string text = original;
        TrimString(text);
        EXPECT_EQ(text, trimmed) << '"' << original << '"';
    }
}

TEST(TextAscii, SkipCharsAndFindBytes) {
    const WStringView space = u"\t\r\n ";
    EXPECT_EQ(SkipCharsW(u" \t\n x y", space, true), 4u);
    EXPECT_EQ(SkipCharsW(u"xy z", space, false), 2u);
    EXPECT_EQ(SkipCharsW(u" \r\n", space, true), WStringView::npos);
    EXPECT_EQ(SkipCharsW(u"xyz", space, false), WStringView::npos);
    EXPECT_EQ(SkipCharsW(u"", space, true), WStringView::npos);

    const char buffer[] = "abcabd\0xy";
    const struct {
        int length;
        const char* pattern;
        int patternLength, offset;
    } cases[] = {{9, "abd", 3, 3},   {9, "\0x", 2, 6}, {9, "xyz", 3, -1}, {5, "abd", 3, -1},
                 {3, "abcd", 4, -1}, {-1, "a", 1, -1}, {9, "a", 0, -1},   {9, "abcabd\0xy", 9, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(FindBytes(buffer, c.length, c.pattern, c.patternLength), c.offset)
            << c.pattern << " in " << c.length;
    }
}

}  // namespace
}  // namespace qav
