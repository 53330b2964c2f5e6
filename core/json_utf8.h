// The UTF-8 edge of JSON values, where wide text leaves for the wire or enters from
// narrow strings.
//
// Peers of JSON (browsers, the push service) read real UTF-8, so a surrogate pair is
// written as one four-byte sequence, not as the two three-byte sequences of the
// system's protocol encoder. A lone surrogate has no UTF-8 form; it is written as U+FFFD.
// Text enters through the system's one lenient decoder (AppendUtf8AsWide), which reads
// any invalid sequence as U+FFFD. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/utf8_codec.h"
#include "core/wide_text.h"

namespace qav {

void AppendJsonUtf8(WStringView text, std::string& out);

}  // namespace qav
