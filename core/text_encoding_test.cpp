#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "core/text_utils.h"

namespace qav {
namespace {

// Both helpers check that nothing is written after the output but its NUL, and no NUL
// when the output filled the capacity.
template <typename Byte>
void ExpectUntouchedAfter(const Byte* out, int written, int capacity, int size) {
    for (int i = written; i < size; ++i) {
        ASSERT_EQ(out[i], i == written && written < capacity ? 0 : '#')
            << "at " << i << " after " << written << " in " << capacity;
    }
}

std::string Encode(std::string_view bytes, int capacity = 256) {
    char out[300];
    std::memset(out, '#', sizeof out);
    const int written = Base64Encode(bytes.data(), static_cast<int>(bytes.size()), out, capacity);
    ExpectUntouchedAfter(out, written, capacity, sizeof out);
    return std::string(out, written);
}

std::string Decode(std::string_view text, int capacity = 256) {
    unsigned char out[300];
    std::memset(out, '#', sizeof out);
    const int written = Base64Decode(text.data(), static_cast<int>(text.size()), out, capacity);
    ExpectUntouchedAfter(out, written, capacity, sizeof out);
    return std::string(reinterpret_cast<const char*>(out), written);
}

TEST(TextBase64, StandardVectorsBothWidths) {
    const struct {
        const char *bytes, *text;
    } vectors[] = {{"", ""},
                   {"f", "Zg=="},
                   {"fo", "Zm8="},
                   {"foo", "Zm9v"},
                   {"foob", "Zm9vYg=="},
                   {"fooba", "Zm9vYmE="},
                   {"foobar", "Zm9vYmFy"},
                   {"\xFB\xFF\xBF", "+/+/"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(Encode(v.bytes), v.text);
        EXPECT_EQ(Decode(v.text), v.bytes);

        WChar wide[16];
        const int written =
            Base64EncodeW(v.bytes, static_cast<int>(std::strlen(v.bytes)), wide, 16);
        EXPECT_EQ(WString(wide, written), WString(v.text, v.text + std::strlen(v.text)));
    }
}

TEST(TextBase64, RoundTripsEveryLengthAndByte) {
    std::mt19937 random(7);
    for (int length = 0; length <= 180; ++length) {
        std::string bytes(length, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(random());
        }
        EXPECT_EQ(Decode(Encode(bytes)), bytes) << "length " << length;
    }
}

// Every capacity cuts the full result short, whichever loop was running there.
TEST(TextBase64, CapacityEndsTheOutput) {
    EXPECT_EQ(Encode("abc", 2), "YW");
    EXPECT_EQ(Encode("abc", 4), "YWJj");
    const std::string bytes = "The quick brown fox jumps over the lazy dog!";
    const std::string text = Encode(bytes);
    for (int capacity = 0; capacity <= static_cast<int>(text.size()) + 1; ++capacity) {
        EXPECT_EQ(Encode(bytes, capacity), text.substr(0, capacity)) << "capacity " << capacity;
        EXPECT_EQ(Decode(text, capacity), bytes.substr(0, capacity)) << "capacity " << capacity;
    }
    EXPECT_EQ(Decode("YWI=YWJj", 3), "aba");
}

TEST(TextBase64, DecodingRules) {
    const struct {
        std::string text, bytes;
    } cases[] = {{"YWI=", "ab"},        {"YWJjYQ", "abc"},
                 {"YQ==YQ==", "aa"},    {"!WJjYWJj", ""},
                 {"Y!JjYWJj", "abc"},   {"YW!jYWJj", "aabc"},
                 {"YWJ!YWJj", "ababc"}, {"YW Jj", "a"},
                 {"YWJj\nYWJj", "abc"}, {std::string("YW\0j", 4), "a"},
                 {"\xD9WJj", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(Decode(c.text), c.bytes) << c.text;
    }
    // Wide characters count by their low byte only.
    const WChar wide[] = {0x0159, u'W', 0x414A, u'j'};
    unsigned char bytes[8];
    ASSERT_EQ(Base64DecodeW(wide, 4, bytes, sizeof bytes), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 3), "abc");

    const struct {
        int character, value;
    } digits[] = {{'A', 0}, {'z', 51}, {'0', 52}, {'+', 62}, {'/', 63}, {'=', -1}, {256 + 'A', -1}};
    for (const auto& d : digits) {
        EXPECT_EQ(Base64DigitValue(d.character), d.value) << d.character;
    }
}

TEST(TextHex, EncodeAndRead) {
    const unsigned char bytes[] = {0x00, 0x09, 0xAB, 0xFF};
    std::string text;
    HexEncodeToString(bytes, 4, true, text);
    EXPECT_EQ(text, "0009ABFF");
    HexEncodeToString(bytes, 4, false, text);
    EXPECT_EQ(text, "0009abff");
    HexEncodeToString(bytes, 0, false, text);
    EXPECT_EQ(text, "");

    for (char notHex : {'/', ':', '@', 'G', '`', 'g'}) {
        EXPECT_EQ(HexDigitValue(notHex), -1) << notHex;
    }
    EXPECT_EQ(HexDigitValue(0x100 + 'a'), -1);
    EXPECT_EQ(HexByteValue('f', 'F'), 255);
    EXPECT_EQ(HexByteValue('0', '9'), 9);
    EXPECT_EQ(HexByteValue('A', 'a'), 0xAA);
    EXPECT_EQ(HexByteValue('0', 'g'), -1);
    EXPECT_EQ(HexByteValue('\xC3', '1'), -1);

    const struct {
        WString text;
        int count;
        uint32_t value;
    } cases[] = {{u"1A", 4, 26},      {u"1G", 4, 0xFFFFFFFF}, {u"", 4, 0},
                 {u"12345", 2, 0x12}, {u"1G", 1, 1},          {u"123456789", 9, 0x23456789},
                 {u"1A", 0, 0},       {u"-1", 2, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        EXPECT_EQ(HexTextToUInt(c.text.c_str(), c.count), c.value)
            << std::string(c.text.begin(), c.text.end()) << " count " << c.count;
    }
}

std::string UrlEncoded(std::string text) {
    UrlEncode(text);
    return text;
}

std::string UrlDecoded(std::string text) {
    UrlDecode(text);
    return text;
}

TEST(TextUrl, PercentEncoding) {
    EXPECT_EQ(UrlEncoded(" "), "%20");
    EXPECT_EQ(UrlEncoded("\xC3"), "%C3");
    EXPECT_EQ(UrlEncoded("AZaz09-./_"), "AZaz09-./_");
    EXPECT_EQ(UrlEncoded("a+b&c=%"), "a%2Bb%26c%3D%25");
    EXPECT_EQ(UrlEncoded(std::string("\0\xFF", 2)), "%00%FF");

    EXPECT_EQ(UrlDecoded("a+b%41"), "a bA");
    EXPECT_EQ(UrlDecoded("%c3%A9"), "\xC3\xA9");
    EXPECT_EQ(UrlDecoded("%00"), std::string(1, '\0'));
    // Anything that is not a whole escape stays as it is, and a result is never decoded
    // again.
    for (const char* kept : {"%", "%4", "%4g"}) {
        EXPECT_EQ(UrlDecoded(kept), kept);
    }
    EXPECT_EQ(UrlDecoded("%4g%41"), "%4gA");
    EXPECT_EQ(UrlDecoded("%2541"), "%41");
    EXPECT_EQ(UrlDecoded("%%41"), "%A");
}

}  // namespace
}  // namespace qav
