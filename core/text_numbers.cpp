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

int64_t WStringToInt64(WStringView text) {
    size_t i = 0;
    while (i < text.size() && IsAsciiSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    // Below 2^60 one more digit cannot wrap the unsigned magnitude; a digit that comes
    // when it is already that large puts the value beyond any 64-bit result.
    constexpr uint64_t kGrowLimit = uint64_t{1} << 60;
    uint64_t magnitude = 0;
    bool beyond = false;
    for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
        if (magnitude >= kGrowLimit) {
            beyond = true;
        } else {
            magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - u'0');
        }
    }
    constexpr uint64_t kMaxMagnitude = uint64_t{std::numeric_limits<int64_t>::max()};
    if (negative) {
        return beyond || magnitude > kMaxMagnitude ? std::numeric_limits<int64_t>::min()
                                                   : -static_cast<int64_t>(magnitude);
    }
    return beyond || magnitude > kMaxMagnitude ? std::numeric_limits<int64_t>::max()
                                               : static_cast<int64_t>(magnitude);
}

int32_t WStringToInt(WStringView text) {
    const int64_t value = WStringToInt64(text);
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
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
