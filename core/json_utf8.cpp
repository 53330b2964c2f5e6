#include "core/json_utf8.h"

#include <cstdint>

#include "core/utf8_codec.h"

namespace qav {

void AppendJsonUtf8(WStringView text, std::string& out) {
    out.reserve(out.size() + text.size());
    char bytes[4];
    for (size_t i = 0; i < text.size(); ++i) {
        const WChar unit = text[i];
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
        } else if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            EncodePairUtf8(unit, text[i + 1], bytes);
            out.append(bytes, 4);
            ++i;
        } else {
            out.append(bytes, static_cast<size_t>(EncodeUnitUtf8(unit, bytes)));
        }
    }
}

void DecodeJsonUtf8(std::string_view bytes, WString& out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t length = bytes.size();
    out.reserve(out.size() + length);
    size_t i = 0;
    while (i < length) {
        if (in[i] < 0x80) {
            out.push_back(in[i++]);
            continue;
        }
        const size_t size = WellFormedSequenceLength(in + i, length - i);
        if (size == 0) {
            out.push_back(kReplacementCharacter);
            ++i;
            continue;
        }
        WChar units[2];
        WChar* end = units;
        DecodeWellFormedSequence(in + i, size, end);
        out.append(units, static_cast<size_t>(end - units));
        i += size;
    }
}

}  // namespace qav
