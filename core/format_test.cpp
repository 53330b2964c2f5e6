// The table deliberately feeds snprintf odd but valid formats.
#pragma GCC diagnostic ignored "-Wformat"
#include "core/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace qav {
namespace {

// The narrow conversions shared with C must give exactly what snprintf gives.
TEST(FormatText, MatchesSnprintfForSharedConversions) {
    char expected[512];
    char actual[512];
#define QAV_EXPECT_LIKE_SNPRINTF(fmt, ...)                                             \
    do {                                                                               \
        const int wanted = std::snprintf(expected, sizeof expected, fmt, __VA_ARGS__); \
        const int got = FormatText(actual, sizeof actual, fmt, __VA_ARGS__);           \
        EXPECT_STREQ(expected, actual) << "format " << fmt;                            \
        EXPECT_EQ(wanted, got) << "format " << fmt;                                    \
    } while (0)
    QAV_EXPECT_LIKE_SNPRINTF("%d|%i|%5d|%-5d|%05d|%+d|% d", 42, -42, 7, 7, -7, 7, 7);
    QAV_EXPECT_LIKE_SNPRINTF("%d %d %d", INT_MIN, INT_MAX, 0);
    QAV_EXPECT_LIKE_SNPRINTF("%.0d|%.3d|%8.3d|%-8.3d|%08.3d", 0, 5, -5, 5, 5);
    QAV_EXPECT_LIKE_SNPRINTF("%lld %lld", LLONG_MIN, LLONG_MAX);
    QAV_EXPECT_LIKE_SNPRINTF("%u %u %lu", 0u, UINT_MAX, 123456789ul);
    QAV_EXPECT_LIKE_SNPRINTF("%x %X %#x %#X %08x %#010x %x", 255u, 255u, 255u, 0u, 48879u, 1u, 0u);
    QAV_EXPECT_LIKE_SNPRINTF("%o %#o %#o", 8u, 8u, 0u);
    QAV_EXPECT_LIKE_SNPRINTF("0x%016llX", 0x0123456789ABCDEFull);
    QAV_EXPECT_LIKE_SNPRINTF("%s|%10s|%-10s|%.2s|%.*s|%*s", "abc", "abc", "abc", "abc", 1, "xyz", 4,
                             "q");
    QAV_EXPECT_LIKE_SNPRINTF("%c%c|%3c|%-3c|", 'a', 'b', 'c', 'd');
    QAV_EXPECT_LIKE_SNPRINTF("%g %g %g %g %g %g", 0.0, 1.5, 100000.0, 1000000.0, 1e-5, 123456789.0);
    QAV_EXPECT_LIKE_SNPRINTF("%g %g %G %g", 0.0001, -2.5e-300, 1e300, 3.14159265358979);
    QAV_EXPECT_LIKE_SNPRINTF("%f %.2f %10.3f %-10.1f| %010.2f %+f", 1.0, 2.345, -3.14159, 2.5, -1.5,
                             0.0);
    QAV_EXPECT_LIKE_SNPRINTF("%e %.3E %.0e %.0f %.0f", 12345.678, 0.000123, 5.5, 0.5, 1.5);
    QAV_EXPECT_LIKE_SNPRINTF("%3.1f KB|%3.2f MB|%.3f GB", 1.0, 1.0, 1.0);
    QAV_EXPECT_LIKE_SNPRINTF("%f %f %e %g", 1e300, 123.0 / 7, -0.0, 1e100);
    QAV_EXPECT_LIKE_SNPRINTF("%5.1f%%|%-6g|%06g", 99.44, 0.5, -2.0);
    QAV_EXPECT_LIKE_SNPRINTF("%04d/%02d/%02d %02d:%02d:%02d", 2024, 1, 2, 3, 4, 5);
    QAV_EXPECT_LIKE_SNPRINTF("%f %F %g %08f %e", 1.0 / 0.0, -1.0 / 0.0, 0.0 / 0.0 * 0, 1.0 / 0.0,
                             -(1.0 / 0.0));
#undef QAV_EXPECT_LIKE_SNPRINTF
}

TEST(FormatText, TheValueTypeDecidesNotTheLengthModifier) {
    EXPECT_EQ("FFFFFFFF", FormatString("%X", -1));
    EXPECT_EQ("FFFFFFFFFFFFFFFF", FormatString("%X", int64_t{-1}));
    EXPECT_EQ("4294967295", FormatString("%u", -1));
    EXPECT_EQ("-1", FormatString("%ld", uint32_t{0xFFFFFFFF}));
    EXPECT_EQ("255", FormatString("%hd", uint8_t{255}));
    EXPECT_EQ("12345678901", FormatString("%d", int64_t{12345678901}));
    EXPECT_EQ("FFFFFFFF", FormatString("%X", int8_t{-1})) << "promoted to int as in C";
    EXPECT_EQ("1", FormatString("%d", true));
}

TEST(FormatText, MissingAndMismatchedArgumentsAreHarmless) {
    EXPECT_EQ("a   b", FormatString("a %d %s b"));
    EXPECT_EQ("x=12", FormatString("x=%s", 12));
    EXPECT_EQ("x=abc", FormatString("x=%d", "abc"));
    EXPECT_EQ("(null)", FormatString("%s", static_cast<const char*>(nullptr)));
    EXPECT_EQ("100%", FormatString("100%%"));
    EXPECT_EQ("50%", FormatString("50%"));
    EXPECT_EQ("%y", FormatString("%y", 3));
    EXPECT_EQ("%n", FormatString("%n", 3)) << "never a write through an argument";
}

TEST(FormatText, PointersAreUpperCaseHexAtFullWidth) {
    const void* pointer = reinterpret_cast<const void*>(uintptr_t{0xABCDEF12});
    EXPECT_EQ(std::string(2 * sizeof(void*) - 8, '0') + "ABCDEF12", FormatString("%p", pointer));
    EXPECT_EQ(std::string(2 * sizeof(void*), '0'), FormatString("%p", nullptr));
}

TEST(FormatText, WideAndNarrowStringsMixInBothDirections) {
    const WString wide = u"h\u00e9\u20ac\U0001F600";
    // Narrow output encodes each UTF-16 unit on its own.
    EXPECT_EQ("[h\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80]", FormatString("[%ls]", wide));
    EXPECT_EQ("h\xC3\xA9", FormatString("%S", u"h\u00e9"));
    EXPECT_EQ("h\xC3\xA9", FormatString("%.*ls", 2, wide));
    EXPECT_EQ("  ab", FormatString("%4.2ls", u"abc"));
    // Wide output decodes UTF-8, a four-byte sequence into a surrogate pair.
    EXPECT_EQ(wide, FormatWString(u"%s", "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_EQ(u"x=h\u00e9\u20ac\U0001F600!", FormatWString(u"x=%ls!", wide));
    EXPECT_EQ(u"-0042|2a|1.5", FormatWString(u"%05d|%x|%g", -42, 42, 1.5));
    EXPECT_EQ(u"\u20ac", FormatWString(u"%c", char16_t{0x20AC}));
}

TEST(FormatText, BufferIsAlwaysTerminatedAndOverflowIsNegative) {
    char buffer[8];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(7, FormatText(buffer, 8, "%s", "1234567"));
    EXPECT_STREQ("1234567", buffer);
    EXPECT_EQ(-1, FormatText(buffer, 8, "%s", "12345678"));
    EXPECT_STREQ("1234567", buffer);
    EXPECT_EQ(-1, FormatText(buffer, 1, "abc"));
    EXPECT_EQ('\0', buffer[0]);

    buffer[0] = 'z';
    EXPECT_EQ(-1, FormatText(buffer, 0, "abc"));
    EXPECT_EQ('z', buffer[0]) << "a capacity of 0 writes nothing";
    EXPECT_EQ(0, FormatText(buffer, 0, ""));

    WChar wide[4];
    EXPECT_EQ(-1, FormatTextW(wide, 4, u"%d", 12345));
    EXPECT_EQ(WString(u"123"), WString(wide));
}

// Neither reads past what it is given: a precision bounds an unterminated text, and an
// empty view may have no data at all.
TEST(FormatText, StringsAreReadOnlyWithinTheirBounds) {
    const char raw[3] = {'a', 'b', 'c'};  // no NUL anywhere
    EXPECT_EQ("ab", FormatString("%.*s", 2, raw));
    EXPECT_EQ("abc", FormatString("%.3s", raw));
    EXPECT_EQ("[]", FormatString("[%s]", std::string_view()));
    EXPECT_EQ("[  ]", FormatString("[%2ls]", WStringView()));
    EXPECT_EQ(u"[]", FormatWString(u"[%s]", std::string_view()));
}

}  // namespace
}  // namespace qav
