#include "core/url_parameter_map.h"

#include <gtest/gtest.h>

namespace qav {
namespace {

// The whole map as its query text, so that each case also shows that nothing extra was
// taken, appended to what the output held.
TEST(UrlParameterMap, ParsesQueryStringsAndCookieHeaders) {
    const std::tuple<bool, std::string, std::string> kCases[] = {
        {false, "a=1&b=x%20y&c&=5&a=2&d=&a+b=c+d", "a=1&a%20b=c%20d&b=x%20y&d="},
        {false, "&&x=1&&=&y==2&", "x=1&y=%3D2"},
        {false, "%zz=%4&%=%&q=%41%2", "%25=%25&%25zz=%254&q=A%252"},  // broken escapes stay
        {false, "k%26=v%3D&k=2", "k=2&k%26=v%3D"},                    // decoded only after the cut
        {false, std::string("n%00=\0v", 7), "n%00=%00v"},
        {true, " sid=abc;  theme=dark", "sid=abc&theme=dark"},
        {true, "a=1 ; b=%41;c;=x; a=2;", "a=1%20&b=%2541"},
        {true, "q=a+b&c=d;", "q=a%2Bb%26c%3Dd"},
    };
    for (const auto& [cookie, input, expected] : kCases) {
        UrlParameterMap map;
        EXPECT_TRUE(cookie ? map.FromCookieHeader(input.data(), input.size())
                           : map.FromBuffer(input.data(), input.size()));
        std::string text = "?";
        map.ToText(text);
        EXPECT_EQ(text, "?" + expected) << (cookie ? "cookie " : "query ") << input;
    }
}

TEST(UrlParameterMap, ReadsNumbers) {
    const std::string query =
        "hex=%231F&hexstop=%231Fzz&dec=42abc&sign=%2B-7&sp=%20%09-12&e=&"
        "hexbig=%23123456789&hexneg=%23FFFFFFFE&sharp=%23&big=99999999999";
    UrlParameterMap map;
    map.FromBuffer(query.data(), query.size());
    const std::pair<const char*, int32_t> kCases[] = {
        {"hex", 31},    {"hexstop", 31}, {"dec", 42},         {"sign", 0},
        {"sp", -12},    {"e", 0},        {"missing", -5},     {"hexbig", -1},
        {"hexneg", -2}, {"sharp", 0},    {"big", 2147483647},
    };
    for (const auto& [name, expected] : kCases) {
        EXPECT_EQ(map.GetInt(name, -5), expected) << name;
    }
}

TEST(UrlParameterMap, StopsAtItsParameterLimitInLinearTime) {
    // Millions of parts without '=' must not each search the rest of the input.
    std::string input(4 << 20, '&');
    for (size_t i = 0; i <= kMaxUrlParameters; ++i) {
        input += "&n" + std::to_string(i) + "=" + std::to_string(i) + "&n0=x";
    }
    UrlParameterMap map;
    EXPECT_FALSE(map.FromBuffer(input.data(), input.size()));
    const int32_t last = static_cast<int32_t>(kMaxUrlParameters) - 1;
    EXPECT_EQ(map.GetInt("n" + std::to_string(last), -1), last);
    EXPECT_EQ(map.GetInt("n" + std::to_string(last + 1), -1), -1);
}

}  // namespace
}  // namespace qav
