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

}  // namespace qav
