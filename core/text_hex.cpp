// Hexadecimal and percent-encoding.
#include "core/text_utils.h"

namespace qav {

namespace {

// Bytes that stay as they are in a percent-encoded text.
constexpr bool IsUrlSafe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '/' || c == '_';
}

}  // namespace

void HexEncode(const void* bytes, int count, bool upperCase, char* out) {
    const auto* in = static_cast<const unsigned char*>(bytes);
    const char* digits = upperCase ? kUpperHexDigits : kLowerHexDigits;
    for (int i = 0; i < count; ++i) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 0xF];
    }
}

void HexEncodeToString(const void* bytes, int count, bool upperCase, std::string& out) {
    out.resize(count > 0 ? 2 * static_cast<size_t>(count) : 0);
    HexEncode(bytes, count, upperCase, out.data());
}

int HexByteValue(char high, char low) {
    const int h = HexDigitValue(static_cast<unsigned char>(high));
    const int l = HexDigitValue(static_cast<unsigned char>(low));
    return h < 0 || l < 0 ? -1 : (h << 4) | l;
}

uint32_t HexTextToUInt(const WChar* text, int maxCount) {
    uint32_t value = 0;
    for (int i = 0; i < maxCount && text[i] != 0; ++i) {
        const int digit = HexDigitValue(text[i]);
        if (digit < 0) {
            return 0xFFFFFFFFu;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
}

void UrlEncode(std::string& text) {
    size_t escaped = 0;
    for (char c : text) {
        escaped += IsUrlSafe(static_cast<unsigned char>(c)) ? 0 : 1;
    }
    if (escaped == 0) {
        return;
    }
    std::string encoded;
    encoded.reserve(text.size() + 2 * escaped);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUrlSafe(byte)) {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(kUpperHexDigits[byte >> 4]);
            encoded.push_back(kUpperHexDigits[byte & 0xF]);
        }
    }
    text.swap(encoded);
}

void UrlDecode(std::string& text) {
    size_t out = 0;
    for (size_t in = 0; in < text.size(); ++in) {
        const char c = text[in];
        if (c == '%' && in + 2 < text.size()) {
            const int byte = HexByteValue(text[in + 1], text[in + 2]);
            if (byte >= 0) {
                text[out++] = static_cast<char>(byte);
                in += 2;
                continue;
            }
        }
        text[out++] = c == '+' ? ' ' : c;
    }
    text.resize(out);
}

}  // namespace qav
