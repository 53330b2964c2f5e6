// Numbers to and from text, without any locale.
#include <locale.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/format.h"
#include "core/text_utils.h"

namespace qav {

namespace {

// The white space that C's number readers skip in the "C" locale.
constexpr bool IsAsciiSpace(uint32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A 32-bit value needs at most 11 characters ("-2147483648").
template <typename String>
void AssignDecimal(int32_t value, String& out) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.assign(digits, result.ptr);
}

}  // namespace

void IntToWString(int32_t value, WString& out) {
    AssignDecimal(value, out);
}

void IntToString(int32_t value, std::string& out) {
    AssignDecimal(value, out);
}

void UInt64ToHexWString(uint64_t value, WString& out) {
    out.resize(18);
    out[0] = u'0';
    out[1] = u'x';
    for (int i = 17; i >= 2; --i) {
        out[i] = static_cast<WChar>(kUpperHexDigits[value & 0xF]);
        value >>= 4;
    }
}

void DoubleToWString(double value, WString& out) {
    // The shortest form that reads back to the same double is at most 24 characters
    // ("-2.2250738585072014e-308"); "inf" and "nan" as "%g" writes them.
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.assign(digits, result.ptr);
}

void FormatByteSize(uint64_t byteCount, std::string& out) {
    constexpr uint64_t kKiB = 1024;
    constexpr uint64_t kMiB = kKiB * 1024;
    constexpr uint64_t kGiB = kMiB * 1024;
    const double count = static_cast<double>(byteCount);
    if (byteCount < kKiB) {
        out = FormatString("%d bytes", static_cast<int>(byteCount));
    } else if (byteCount < kMiB) {
        out = FormatString("%3.1f KB", count / kKiB);
    } else if (byteCount < kGiB) {
        out = FormatString("%3.2f MB", count / kMiB);
    } else {
        out = FormatString("%.3f GB", count / kGiB);
    }
}

namespace {

// The front every decimal reader shares: ASCII white space, a sign, then the digits.
struct SignedDecimal {
    bool negative = false;
    DigitsRead digits;
    size_t end = 0;  // just after the digits
};

SignedDecimal ReadSignedDecimal(WStringView text) {
    size_t i = 0;
    while (i < text.size() && IsAsciiSpace(text[i])) {
        ++i;
    }
    SignedDecimal read;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        read.negative = text[i] == u'-';
        ++i;
    }
    read.digits = ReadDigits(text.substr(i), 10);
    read.end = i + read.digits.count;
    return read;
}

// The magnitude with its sign, saturating at the limits of Int.
template <typename Int>
Int SaturatedSigned(bool negative, uint64_t magnitude) {
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<Int>::max());
    if (negative) {
        return magnitude > kMax ? std::numeric_limits<Int>::min()
                                : static_cast<Int>(-static_cast<int64_t>(magnitude));
    }
    return magnitude > kMax ? std::numeric_limits<Int>::max() : static_cast<Int>(magnitude);
}

template <typename Int>
bool ParseWholeDecimal(WStringView text, Int& value) {
    const SignedDecimal read = ReadSignedDecimal(text);
    size_t i = read.end;
    while (i < text.size() && IsAsciiSpace(text[i])) {
        ++i;
    }
    if (read.digits.count == 0 || i != text.size()) {
        return false;
    }
    // The magnitude of the most negative value is one more than that of the largest.
    const uint64_t limit =
        static_cast<uint64_t>(std::numeric_limits<Int>::max()) + (read.negative ? 1 : 0);
    if (read.digits.value > limit) {  // a value beyond 64 bits is UINT64_MAX
        return false;
    }
    value = SaturatedSigned<Int>(read.negative, read.digits.value);
    return true;
}

}  // namespace

bool ParseDecimalInt32(WStringView text, int32_t& value) {
    return ParseWholeDecimal(text, value);
}

bool ParseDecimalInt64(WStringView text, int64_t& value) {
    return ParseWholeDecimal(text, value);
}

int64_t WStringToInt64(WStringView text) {
    const SignedDecimal read = ReadSignedDecimal(text);
    return SaturatedSigned<int64_t>(read.negative, read.digits.value);
}

int32_t WStringToInt(WStringView text) {
    const SignedDecimal read = ReadSignedDecimal(text);
    return SaturatedSigned<int32_t>(read.negative, read.digits.value);
}

// Only the plain decimal form is taken, so the number is first cut out here and then
// converted in the "C" locale.
double WStringToDouble(WStringView text) {
    size_t i = 0;
    while (i < text.size() && IsAsciiSpace(text[i])) {
        ++i;
    }
    std::string number;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        number.push_back(static_cast<char>(text[i++]));
    }
    size_t digits = 0;
    const auto takeDigits = [&] {
        for (; i < text.size() && IsAsciiDigit(text[i]); ++i, ++digits) {
            number.push_back(static_cast<char>(text[i]));
        }
    };
    takeDigits();
    if (i < text.size() && text[i] == u'.') {
        number.push_back('.');
        ++i;
        takeDigits();
    }
    if (digits == 0) {
        return 0;
    }
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) {
            ++j;
        }
        if (j < text.size() && IsAsciiDigit(text[j])) {
            for (; i < j; ++i) {
                number.push_back(static_cast<char>(text[i]));
            }
            takeDigits();
        }
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(number.c_str(), nullptr, cLocale);
}

bool IsYesText(WStringView text) {
    if (text.empty()) {
        return false;
    }
    const WChar first = text[0];
    return first == u'T' || first == u't' || first == u'Y' || first == u'y';
}

bool IsAllDigitsW(const WChar* text, int count) {
    for (int i = 0; i < count; ++i) {
        if (!IsAsciiDigit(text[i])) {
            return false;
        }
    }
    return true;
}

bool IsAllDigits(std::string_view text) {
    constexpr size_t kDigits = 6;
    if (text.size() < kDigits) {
        return false;
    }
    for (size_t i = 0; i < kDigits; ++i) {
        if (!IsAsciiDigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

int ParseDottedDecimal(const WChar* text, int maxChars, uint8_t* out, int capacity) {
    if (text == nullptr || capacity <= 0) {
        return 0;
    }
    int stored = 0;
    int part = 0;
    bool partHasDigits = false;
    for (int i = 0; i < maxChars && text[i] != 0; ++i) {
        const WChar c = text[i];
        if (IsAsciiDigit(c)) {
            part = part * 10 + (c - u'0');
            if (part >= 256) {
                return stored;
            }
            partHasDigits = true;
        } else if (c == u'.' && partHasDigits) {
            out[stored++] = static_cast<uint8_t>(part);
            if (stored == capacity) {
                // More parts follow than there is room for: the short count tells.
                return stored - 1;
            }
            part = 0;
            partHasDigits = false;
        } else {
            break;
        }
    }
    if (partHasDigits) {
        out[stored++] = static_cast<uint8_t>(part);
    }
    return stored;
}

uint64_t LoadUInt64LE(const void* bytes) {
    unsigned char b[8];
    std::memcpy(b, bytes, 8);
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | b[i];
    }
    return value;
}

uint64_t LoadUInt64BE(const void* bytes) {
    unsigned char b[8];
    std::memcpy(b, bytes, 8);
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | b[i];
    }
    return value;
}

}  // namespace qav
