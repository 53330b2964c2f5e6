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
    const size_t written = EncodeWideAsRealUtf8(text.data(), text.size(), out.data() + start);
    out.resize(start + written);
}

}  // namespace qav
