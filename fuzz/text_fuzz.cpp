// Feeds arbitrary bytes to the text converters and decoders and checks the round trips
// that must hold for any input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/text_utils.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::fuzz::Check;

void CheckUtf8(const char* bytes, int length) {
    qav::WString lenient;
    int invalid = -1;
    const int units = qav::Utf8ToWide(bytes, length, lenient, &invalid);
    Check(units == static_cast<int>(lenient.size()) && units <= length);
    Check(invalid >= 0 && invalid <= length);

    // A bounded buffer receives a prefix of the unbounded result.
    const int capacity = length > 0 ? static_cast<unsigned char>(bytes[0]) % 16 : 0;
    std::vector<qav::WChar> buffer(capacity + 1, u'#');
    const int written = qav::Utf8ToWideBuffer(bytes, length, buffer.data(), capacity, nullptr);
    Check(written <= units && (capacity == 0 || written < capacity));
    Check(qav::WStringView(buffer.data(), written) == qav::WStringView(lenient).substr(0, written));
    Check(buffer[capacity] == u'#');

    // The protocol's encoder and the lenient decoder are inverse for any UTF-16.
    std::string encoded;
    qav::WideToUtf8(lenient.data(), units, encoded);
    qav::WString again;
    qav::Utf8ToWide(encoded.data(), static_cast<int>(encoded.size()), again, &invalid);
    Check(again == lenient && invalid == 0);

    qav::WString strict;
    if (qav::Utf8ToWideStrict(std::string_view(bytes, length), strict)) {
        std::string back;
        Check(qav::WideToUtf8Strict(strict, back));
        Check(back == std::string_view(bytes, length));
        qav::Utf8ToWide(bytes, length, again, &invalid);
        Check(again == strict && invalid == 0);
    }
}

void CheckUtf16(const qav::WString& wide) {
    std::string strict;
    if (qav::WideToUtf8Strict(wide, strict)) {
        qav::WString back;
        Check(qav::Utf8ToWideStrict(strict, back) && back == wide);
    }
}

void CheckBase64(const char* bytes, int length) {
    std::vector<unsigned char> decoded(length + 1);
    const int count = qav::Base64Decode(bytes, length, decoded.data(), length + 1);
    Check(count >= 0 && count <= length / 4 * 3);

    std::vector<char> text(length / 3 * 4 + 5);
    const int characters =
        qav::Base64Encode(bytes, length, text.data(), static_cast<int>(text.size()));
    Check(characters == (length + 2) / 3 * 4);
    const int back = qav::Base64Decode(text.data(), characters, decoded.data(), length + 1);
    Check(back == length && std::string_view(reinterpret_cast<char*>(decoded.data()), back) ==
                                std::string_view(bytes, length));
}

void CheckPercent(const char* bytes, int length) {
    std::string text(bytes, length);
    qav::UrlDecode(text);
    Check(text.size() <= static_cast<size_t>(length));
    text.assign(bytes, length);
    qav::UrlEncode(text);
    qav::UrlDecode(text);
    Check(text == std::string_view(bytes, length));
}

// What the checked readers take, the lenient ones read to the same value; and digits
// that fit are read by the digit reader as the lenient reader reads them.
void CheckDecimal(const qav::WString& text) {
    const int64_t lenient = qav::WStringToInt64(text);
    int32_t checked = 0;
    if (qav::ParseDecimalInt32(text, checked)) {
        Check(checked == lenient && checked == qav::WStringToInt(text));
    }
    int64_t checked64 = 0;
    if (qav::ParseDecimalInt64(text, checked64)) {
        Check(checked64 == lenient);
    }
    const qav::DigitsRead digits = qav::ReadDigits(qav::WStringView(text), 10);
    Check(digits.count <= text.size());
    if (digits.count > 0 && !digits.beyond64Bits && digits.value <= INT64_MAX) {
        Check(qav::WStringToInt64(qav::WStringView(text).substr(0, digits.count)) ==
              static_cast<int64_t>(digits.value));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const char*>(data);
    const int length = static_cast<int>(size);
    CheckUtf8(bytes, length);
    CheckBase64(bytes, length);
    CheckPercent(bytes, length);

    // Wide text two ways: byte pairs as units (any UTF-16), and one unit per byte (so
    // that digits, dots and NULs come often).
    qav::WString pairs;
    for (size_t i = 0; i + 1 < size; i += 2) {
        pairs.push_back(static_cast<qav::WChar>(data[i] | (data[i + 1] << 8)));
    }
    CheckUtf16(pairs);
    const qav::WString widened(data, data + size);

    uint8_t parts[8] = {};
    const int capacity = size > 0 ? data[0] % 9 : 4;
    Check(qav::ParseDottedDecimal(widened.c_str(), length, parts, capacity) <= capacity);
    qav::HexTextToUInt(widened.c_str(), length);
    qav::HexTextToUInt(pairs.c_str(), static_cast<int>(pairs.size()));
    CheckDecimal(widened);
    return 0;
}
