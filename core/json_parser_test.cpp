#include <algorithm>
#include <cfloat>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/json_object.h"
#include "core/test_support.h"
#include "core/text_utils.h"

namespace qav {
namespace {

using test_support::CapturingTextLogger;

std::string Utf8(WStringView text) {
    std::string out;
    WideToUtf8(text.data(), static_cast<int>(text.size()), out);
    return out;
}

// The text written after parsing `input`, or "FAIL".
WString Reparse(const WString& input) {
    JsonObject value;
    if (!value.FromText(input.c_str())) {
        return u"FAIL";
    }
    WString out;
    value.AppendText(out);
    return out;
}

TEST(JsonParser, ReadsTolerantTextIntoValues) {
    const struct {
        const char16_t* input;
        const char16_t* written;
    } kCases[] = {
        {u"true", u"true"},
        {u"TRUE", u"true"},
        {u" \t\r\nFalse ", u"false"},
        {u"NULL", u"null"},
        {u"010", u"8"},
        {u"0x10", u"16"},
        {u"-0X1f", u"-31"},
        {u"08", u"8"},  // not octal, so read as a number
        // Decimal integers of up to nine digits, read at once, and the forms next to them.
        {u"999999999", u"999999999"},
        {u"-999999999", u"-999999999"},
        {u"+7", u"7"},
        {u"0", u"0"},
        {u"-0", u"0"},
        {u"1000000000", u"1000000000"},
        {u"12a", u"FAIL"},
        {u"-", u"FAIL"},
        {u"2147483647", u"2147483647"},
        {u"-2147483648", u"-2147483648"},
        // Beyond 32 bits: a number, not saturated (64-bit ids, times in milliseconds).
        {u"2147483648", u"2147483648"},
        {u"99999999999", u"99999999999"},
        {u"-99999999999", u"-99999999999"},
        {u"1733553600123", u"1733553600123"},
        {u"9007199254740993", u"9007199254740992"},
        {u"0xFFFFFFFFFFFFFFFF", u"18446744073709551616"},
        {u"0x123456789abcdef0123", u"5.373003642731685e+21"},
        {u"123456789012345678901234567890", u"1.2345678901234568e+29"},
        {u"123.456789", u"123.456789"},
        {u"1.5", u"1.5"},
        {u"1e3", u"1000"},
        {u"-.5e-3", u"-5e-04"},
        {u"1e-999", u"0"},
        {u"[1,2 ,\t3]", u"[ 1, 2, 3 ]"},
        {u"[ 1 , [ ] , { } ,null]", u"[ 1, [  ], {  }, null ]"},
        {u"[1,]", u"[ 1 ]"},
        {u"{\"b\":\"x\",\"a\":1}", u"{ \"a\":1, \"b\":\"x\" }"},
        {u"{\"a\":1,\"a\":2}", u"{ \"a\":2 }"},
        // Names held in the text, escaped, of 15 and 16 units, and longer.
        {u"{\"zz\":1,\"\\u0041b\":2,\"fifteen units..\":3,\"sixteen units...\":4,"
         u"\"a name of more than sixteen units\":5,\"zz\":6}",
         u"{ \"Ab\":2, \"a name of more than sixteen units\":5, \"fifteen units..\":3, "
         u"\"sixteen units...\":4, \"zz\":6 }"},
        // Texts of 1, 4, 7, 8, 15 and 16 units, around the sizes copied in fixed moves.
        {u"[\"a\",\"abcd\",\"abcdefg\",\"abcdefgh\",\"abcdefghijklmno\",\"abcdefghijklmnop\"]",
         u"[ \"a\", \"abcd\", \"abcdefg\", \"abcdefgh\", \"abcdefghijklmno\", "
         u"\"abcdefghijklmnop\" ]"},
        {u"{ \"a\" : 1 , \"n\" : null , }", u"{ \"a\":1 }"},
        {u"{\"a\":1,\"a\":null}", u"{  }"},
        {u"\"\\u00e9\\u00C9\"", u"\"\u00e9\u00c9\""},
        {u"\"\\/\\\\\\\"\\b\\f\\n\\r\\t\\q\"", u"\"\\/\\\\\\\"\\b\\f\\n\\r\\tq\""},
        {u"\"a\x01\x1f\"", u"\"a\\u0001\\u001f\""},
        {u"\"\\ud83d\\ude00\"", u"\"\U0001F600\""},
        {u"\"\\udE00x\\ud800\"", u"\"\\ude00x\\ud800\""},
    };
    for (const auto& test : kCases) {
        EXPECT_EQ(Utf8(Reparse(test.input)), Utf8(test.written)) << Utf8(test.input);
    }
}

TEST(JsonParser, ReportsEachFailure) {
    const struct {
        const char16_t* input;
        std::vector<std::string> reports;
    } kCases[] = {
        {u"", {}},
        {u" \t\r\n", {}},
        {u"1 2", {"Invalid char after JSON object: 2"}},
        {u"1.2.3", {"Unrecognizable JSON object value: 1.2.3", "JSON parse failed at char #0"}},
        {u"[1e999]", {"JSON number out of range: 1e999", "JSON parse failed at char #1"}},
        {u"[1,,2]", {"Empty JSON value, ending with --> , <--", "JSON parse failed at char #3"}},
        {u"\"\\u12\"",
         {"Invalid JSON string hex char sequence: 12\"", "JSON parse failed at char #3"}},
        {u"\"\\u12", {"Invalid JSON string hex char sequence: 12", "JSON parse failed at char #3"}},
        {u"\"abc", {"JSON parse failed at char #4"}},
        {u"\"a\\", {"JSON parse failed at char #3"}},
        {u"[1", {"JSON parse failed at char #2"}},
        {u"[", {"JSON array not terminated.", "JSON parse failed at char #1"}},
        {u"[1 2]", {"Invalid char after JSON array element: 2", "JSON parse failed at char #3"}},
        // The low 8 bits of U+4E2D are '-'.
        {u"[1 \u4e2d]",
         {"Invalid char after JSON array element: -", "JSON parse failed at char #3"}},
        {u"{", {"JSON struct not terminated.", "JSON parse failed at char #1"}},
        {u"{a:1}", {"JSON parse failed at char #1"}},
        {u"{\"a\"", {"Missing colon after JSON variable name.", "JSON parse failed at char #4"}},
        {u"{\"a\" 1}",
         {"Expecting colon after JSON variable name, found 1.", "JSON parse failed at char #5"}},
        {u"{\"a\":1", {"JSON struct not terminated after value.", "JSON parse failed at char #6"}},
        {u"{\"a\":1 x}",
         {"Unexpected character after JSON struct variable: x", "JSON parse failed at char #7"}},
    };
    for (const auto& test : kCases) {
        CapturingTextLogger logger(kSeverityWarning);
        JsonObject value;
        EXPECT_FALSE(value.FromText(test.input)) << Utf8(test.input);
        std::vector<std::string> expected;
        for (const std::string& report : test.reports) {
            expected.push_back("2 " + report);
        }
        EXPECT_EQ(logger.Lines(), expected) << Utf8(test.input);
    }

    // A logger above the warning level hears nothing; the value keeps what was parsed.
    CapturingTextLogger quiet(kSeverityError);
    JsonObject value;
    EXPECT_FALSE(value.FromText(u"7 x"));
    EXPECT_EQ(value.GetNode()->GetInteger(), 7);
    EXPECT_TRUE(quiet.Lines().empty());
}

TEST(JsonParser, LimitsNesting) {
    const auto nested = [](int depth) {
        return WString(static_cast<size_t>(depth), u'[') +
               WString(static_cast<size_t>(depth), u']');
    };
    EXPECT_NE(Reparse(nested(kMaxJsonNesting)), u"FAIL");

    CapturingTextLogger logger(kSeverityWarning);
    JsonObject value;
    EXPECT_FALSE(value.FromText(nested(100000).c_str()));
    EXPECT_EQ(logger.Lines(), (std::vector<std::string>{"2 JSON nesting deeper than 256 levels.",
                                                        "2 JSON parse failed at char #256"}));
}

// An integer beyond 64 bits is read whole and rounded once, in every base, to the double
// nearest to it; one beyond the largest double is refused as a decimal one is, never taken
// as infinity (which would be written as null, so that writing would not be stable).
TEST(JsonParser, ReadsIntegersBeyond64BitsOnceInEveryBase) {
    const std::string dblMax = "FFFFFFFFFFFFF8" + std::string(242, '0');
    const struct {
        std::string token;
        double number;  // 0: refused as out of range
    } kCases[] = {
        // 2^68 + 2^15 + 1: above the half-way point between two doubles only by its last
        // bit, which a digit-by-digit reading rounds away before it arrives.
        {"0x100000000000008001", 0x1.0000000000001p+68},
        {"-0X100000000000008001", -0x1.0000000000001p+68},
        {"040000000000000000100001", 0x1.0000000000001p+68},
        {"0x10000000000000800000000001", 0x1.0000000000001p+100},
        {"0x1000000000000080000", 0x1p+72},  // a tie goes to the even neighbour
        {"0x" + dblMax, DBL_MAX},
        {"0xFFFFFFFFFFFFFB" + std::string(242, 'F'), DBL_MAX},
        {"0xFFFFFFFFFFFFFC" + std::string(242, '0'), 0},  // rounds to 2^1024
        {"0x1" + std::string(256, '0'), 0},
        {"-0x1" + std::string(256, '0'), 0},
        {"01" + std::string(342, '0'), 0},
        {"1" + std::string(400, '0'), 0},
    };
    for (const auto& c : kCases) {
        const WString token(c.token.begin(), c.token.end());
        CapturingTextLogger logger(kSeverityWarning);
        JsonObject value;
        const bool parsed = value.FromText((u"{\"a\":" + token + u"}").c_str());
        if (c.number == 0) {
            EXPECT_FALSE(parsed) << c.token;
            EXPECT_EQ(logger.Lines(),
                      (std::vector<std::string>{"2 JSON number out of range: " + c.token,
                                                "2 JSON parse failed at char #5"}))
                << c.token;
            continue;
        }
        ASSERT_TRUE(parsed) << c.token;
        const JsonValue* member = value.GetMember(u"a").FindNode();
        ASSERT_NE(member, nullptr) << c.token;
        EXPECT_EQ(member->GetType(), kJsonNumber) << c.token;
        EXPECT_EQ(member->GetNumber(), c.number) << c.token;
        const WString written = Reparse(u"[" + token + u"]");
        EXPECT_EQ(Reparse(written), written) << c.token;
    }
}

// What a parse leaves: its result, the tree written out, the reports.
struct ParseOutcome {
    bool parsed = false;
    WString tree;
    std::vector<std::string> reports;

    bool operator==(const ParseOutcome&) const = default;
};

template <typename Parse>
ParseOutcome OutcomeOf(Parse parse) {
    CapturingTextLogger logger(kSeverityWarning);
    ParseOutcome outcome;
    JsonObject value;
    outcome.parsed = parse(value);
    value.AppendText(outcome.tree);
    outcome.reports = logger.Lines();
    return outcome;
}

ParseOutcome WideOutcome(std::string_view bytes) {
    WString wide;
    AppendUtf8AsWide(bytes, wide);
    return OutcomeOf([&](JsonObject& value) { return value.FromText(wide.c_str()); });
}

// The bytes are copied to a block of exactly their size, so that the address sanitizer
// sees any read past them.
ParseOutcome Utf8Outcome(std::string_view bytes) {
    const auto block = std::make_unique<char[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.get());
    return OutcomeOf([&](JsonObject& value) {
        return value.FromUtf8Text(std::string_view(block.get(), bytes.size()));
    });
}

std::string Printable(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += {'\\', 'x', kUpperHexDigits[byte >> 4], kUpperHexDigits[byte & 0xF]};
        }
    }
    return out;
}

// UTF-8 parses exactly as its lenient decoding does in wide text: the same result, tree
// and reports, offsets counted in wide units. So does every prefix of each input, which
// cuts sequences, strings, escapes and tokens at every byte.
TEST(JsonParser, Utf8TextParsesAsItsWideDecoding) {
    using namespace std::string_literals;
    const std::string inputs[] = {
        "{\"name\":\"Entr\xC3\xA9"
        "e \xF0\x9F\x98\x80\",\"list\":[1,2.5,true,null]}",
        "{\"bad\":\"\xFF\xC0\xAF\",\"pair\":\"\xED\xA0\xBD\xED\xB8\x80\"}",
        "[\"a\"]",
        "[\"a\"] \"trailing\"",
        "{\"cut\":1}\0{\"after\":2}"s,
        "",
        " \t\r\n",
        // Invalid sequences in strings: overlong, beyond U+10FFFF, stray continuations,
        // a lead before ASCII, lone and reversed encoded surrogates.
        "[\"a\xFF"
        "b\",\"\xE0\x80\x80\",\"\xF4\x90\x80\x80\",\"\x80\xBF\",\"\xE4\xB8"
        "z\"]",
        "[\"\xED\xA0\xBD\",\"\xED\xB8\x80\xED\xA0\xBD\",\"\xED\xA0\xBD\xED\xB8\"]",
        // Long strings mixing ASCII, escapes and sequences across block boundaries.
        "{\"a long name, longer than one block \xE4\xB8\xAD\":\"0123456789abcdef\\n"
        "0123456789abcdef\xC3\xA9\\u00e9\\\"\xF0\x9F\x98\x80 tail of the text\","
        "\"b\\\xC3\xA9\\\xF0\x9F\x98\x80\\\xFF\":\"x\"}",
        // Escapes on either side of a block's end, and one that the text's end cuts off.
        "[\"0123456789abcd\\\"x\",\"0123456789abcde\\\"x\",\"\\\\0123456789abcdef\"]",
        "[\"0123456789abcdef\\",
        // Names.
        "{\"zz\":1,\"\\u0041b\":2,\"fifteen units..\":3,\"sixteen units...\":4,"
        "\"a name of more than sixteen units\":5,\"zz\":6}",
        "{\"n\xFF\":1,\"\xE4\xB8\xAD\":\"\xE6\x96\x87\",\"\xF0\x9F\x98\x80\":[]}",
        // Tokens and bytes where a token, a colon or a separator belongs.
        "tru\xC3\xA9",
        "[1\xFF]",
        "[\xF0\x9F\x98\x80]",
        "1 \xFF",
        "[1 \xE4\xB8\xAD]",
        "{\"a\":1 \xC3\xA9}",
        "{\"a\" \xF0\x9F\x98\x80:1}",
        "{\xC3\xA9:1}",
        "[\"\xF0\x9F\x98\x80\xE4\xB8\xAD\" 1]",
        // Reports of bad hexadecimal escapes show the units that follow.
        "\"\\u12\xC3\xA9\"",
        "\"\\u1\xF0\x9F\x98\x80\"",
        "\"\\u123\xF0\x9F\x98\x80\"",
        "\"\\u1\xFF\xFF\xFF\xFF\xFF\"",
        // A NUL ends the text wherever it is.
        "\"ab\0cd\""s,
        "[1,\0]"s,
        "\"a\\\0\""s,
        " \0x"s,
        "{\"a\":\"\xC3\0\"}"s,
    };
    for (const std::string& input : inputs) {
        for (size_t length = 0; length <= input.size(); ++length) {
            const std::string_view bytes(input.data(), length);
            const ParseOutcome expected = WideOutcome(bytes);
            const ParseOutcome actual = Utf8Outcome(bytes);
            EXPECT_EQ(expected.parsed, actual.parsed) << Printable(bytes);
            EXPECT_EQ(Utf8(expected.tree), Utf8(actual.tree)) << Printable(bytes);
            EXPECT_EQ(expected.reports, actual.reports) << Printable(bytes);
        }
    }

    // Pinned, so that both forms cannot agree on a wrong answer: offsets count a pair
    // as two units, and a report shows a sequence by the low 8 bits of its decoded unit
    // (U+FFFD as U+00FD).
    const struct {
        std::string input;
        std::vector<std::string> reports;
    } kReports[] = {
        {"[\"\xF0\x9F\x98\x80\xE4\xB8\xAD\" 1]",
         {"2 Invalid char after JSON array element: 1", "2 JSON parse failed at char #7"}},
        {"1 \xFF", {"2 Invalid char after JSON object: \xC3\xBD"}},
        {"{\"a\":1 \xC3\xA9}",
         {"2 Unexpected character after JSON struct variable: \xC3\xA9",
          "2 JSON parse failed at char #7"}},
        {"[1\xFF]",
         {"2 Unrecognizable JSON object value: 1\xEF\xBF\xBD", "2 JSON parse failed at char #1"}},
        {"\"\\u12\xC3\xA9\"",
         {"2 Invalid JSON string hex char sequence: 12\xC3\xA9\"",
          "2 JSON parse failed at char #3"}},
        {"\"\xE4\xB8\xAD"
         "ab",
         {"2 JSON parse failed at char #4"}},
    };
    for (const auto& test : kReports) {
        const ParseOutcome outcome = Utf8Outcome(test.input);
        EXPECT_FALSE(outcome.parsed) << Printable(test.input);
        EXPECT_EQ(outcome.reports, test.reports) << Printable(test.input);
    }

    // Bytes the view leaves out are not read, whatever they hold.
    const std::string longer = "[\"abc\"]garbage";
    JsonObject value;
    EXPECT_TRUE(value.FromUtf8Text(std::string_view(longer.data(), 7)));
    EXPECT_FALSE(value.FromUtf8Text(std::string_view(longer.data(), 5)));
}

// A logger that parses JSON itself, in the middle of a parse that reports from inside
// nested arrays: each parse keeps its own elements.
TEST(JsonParser, AParseStartedByAReportKeepsToItsOwnElements) {
    class ParsingLogger : public TextLogger {
      public:
        ParsingLogger() { SetTextLogger(this); }
        ~ParsingLogger() override { SetTextLogger(nullptr); }
        int GetLevel() override { return kSeverityStatus; }
        void LogText(int, std::string_view) override {}
        void LogFormatV(int, std::string_view, FormatArgs) override {
            JsonObject inner;
            inner.FromUtf8Text("[7,[8,9],[]]");
            inner.ToText(m_written);
        }
        std::string m_written;
    };
    ParsingLogger logger;
    JsonObject value;
    EXPECT_FALSE(value.FromUtf8Text("[1,[2,[3,x]],4]"));
    std::string written;
    value.ToText(written);
    EXPECT_EQ(written, "[ 1, [ 2, [ 3, null ] ] ]");
    EXPECT_EQ(logger.m_written, "[ 7, [ 8, 9 ], [  ] ]");
}

// An exception out of a parse (here thrown by a logger in the middle of a report, as a
// failed allocation would be) leaves the parse's arena sealed: the members read so far
// are whole, values of them may be dropped anywhere, and nothing is left once they go
// (the leak checker of the sanitizer build sees any block kept). Elements of arrays that
// were still being read are freed.
TEST(JsonParser, AnExceptionOutOfAParseLeavesItsArenaSealed) {
    class ThrowingLogger : public TextLogger {
      public:
        ThrowingLogger() { SetTextLogger(this); }
        ~ThrowingLogger() override { SetTextLogger(nullptr); }
        int GetLevel() override { return kSeverityStatus; }
        void LogText(int, std::string_view) override {}
        void LogFormatV(int, std::string_view, FormatArgs) override { throw std::bad_alloc(); }
    };
    for (const size_t zeros : {size_t{0}, size_t{1500000}}) {
        // With many zeros the tree goes beyond the heap's share, into regions.
        std::string text =
            "{\"kept\":{\"a\":[1,\"a text longer than the inline form\"]},\"pad\":[0";
        for (size_t i = 0; i < zeros; ++i) {
            text += ",0";
        }
        text += "],\"z\":[2,[3,x]]}";
        JsonObject value;
        {
            ThrowingLogger logger;
            EXPECT_THROW(value.FromUtf8Text(text), std::bad_alloc);
        }
        JsonObject kept = value.GetMember(u"kept");
        ASSERT_NE(kept.FindNode(), nullptr) << zeros;
        const JsonArena* arena = kept.FindNode()->GetArena();
        ASSERT_NE(arena, nullptr);
        EXPECT_FALSE(arena->IsOpen()) << zeros;
        EXPECT_EQ(value.GetMember(u"z").FindNode(), nullptr) << zeros;
        value = JsonObject();
        std::string written;
        kept.ToText(written);
        EXPECT_EQ(written, "{ \"a\":[ 1, \"a text longer than the inline form\" ] }") << zeros;
    }
}

}  // namespace
}  // namespace qav
