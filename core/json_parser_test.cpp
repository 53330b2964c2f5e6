#include <string>
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

// UTF-8 parses as its lenient decoding does in wide text, and a text parsed after a
// longer one on the same thread sees nothing of the longer one.
TEST(JsonParser, Utf8TextParsesAsItsWideDecoding) {
    const std::string inputs[] = {
        "{\"name\":\"Entr\xC3\xA9"
        "e \xF0\x9F\x98\x80\",\"list\":[1,2.5,true,null]}",
        "{\"bad\":\"\xFF\xC0\xAF\",\"pair\":\"\xED\xA0\xBD\xED\xB8\x80\"}",
        "[\"a\"]",
        "[\"a\"] \"trailing\"",
        std::string("{\"cut\":1}\0{\"after\":2}", 22),
        "",
    };
    for (const std::string& input : inputs) {
        WString wide;
        Utf8ToWide(input.data(), static_cast<int>(input.size()), wide, nullptr);
        JsonObject fromWide;
        const bool wideParsed = fromWide.FromText(wide.c_str());
        JsonObject fromUtf8;
        ASSERT_EQ(wideParsed, fromUtf8.FromUtf8Text(input)) << input;
        WString expected;
        fromWide.AppendText(expected);
        WString actual;
        fromUtf8.AppendText(actual);
        EXPECT_EQ(expected, actual) << input;
    }
}

}  // namespace
}  // namespace qav
