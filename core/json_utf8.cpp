#include "core/json_utf8.h"

#include <cstdint>

#include "core/text_scan.h"
#include "core/utf8_codec.h"

namespace qav {

void AppendJsonUtf8(WStringView text, std::string& out) {
    // Room for the longest form (three bytes a unit; a pair takes four for two units),
    // then cut to what was written.
    const size_t start = out.size();
    out.resize(start + 3 * text.size());
    char* const begin = out.data() + start;
    char* o = begin;
    size_t i = 0;
    while (i < text.size()) {
        const size_t ascii = NarrowAsciiRun(text.data() + i, text.size() - i, o);
        i += ascii;
        o += ascii;
        if (i == text.size()) {
            break;
        }
        const WChar unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            EncodePairUtf8(unit, text[i + 1], o);
            o += 4;
            i += 2;
        } else {
            o += EncodeUnitUtf8(unit, o);
            ++i;
        }
    }
    out.resize(start + static_cast<size_t>(o - begin));
}

}  // namespace qav
