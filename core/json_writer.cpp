// The compact JSON writer. One set of routines writes both forms: the wide text of
// AppendText and the UTF-8 of ToText, which is produced directly rather than through a
// wide copy.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/json_object.h"
#include "core/json_utf8.h"
#include "core/text_scan.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "core/utf8_codec.h"

namespace qav {

namespace {

template <typename String>
void AppendAscii(String& out, std::string_view text) {
    if constexpr (std::is_same_v<typename String::value_type, char>) {
        out.append(text);
    } else {
        // Widened on the stack: appending through iterators builds a temporary string.
        WChar wide[32];
        while (!text.empty()) {
            const size_t count = std::min(text.size(), std::size(wide));
            std::copy_n(text.data(), count, wide);
            out.append(wide, count);
            text.remove_prefix(count);
        }
    }
}

// Reserving exactly what one string needs, string after string, could reallocate on
// every string; growing at least by doubling keeps writing linear.
template <typename String>
void ReserveMore(String& out, size_t more) {
    const size_t needed = out.size() + more;
    if (needed > out.capacity()) {
        out.reserve(std::max(needed, out.capacity() * 2));
    }
}

// Writes the escape of `c` at out and returns its length (2 or 6).
template <typename Char>
size_t WriteEscape(WChar c, Char* out) {
    static constexpr char kShortForms[][2] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'\b', 'b'},
                                              {'\t', 't'}, {'\n', 'n'},  {'\f', 'f'}, {'\r', 'r'}};
    out[0] = '\\';
    for (const auto& form : kShortForms) {
        if (c == static_cast<WChar>(form[0])) {
            out[1] = static_cast<Char>(form[1]);
            return 2;
        }
    }
    out[1] = 'u';
    for (int i = 0; i < 4; ++i) {
        out[2 + i] = static_cast<Char>(kLowerHexDigits[(c >> (12 - 4 * i)) & 0xF]);
    }
    return 6;
}

// Copies the plain ASCII (no escape needed) at the front of data[0, count) to `out`, a
// block of eight units at a time, and returns how many units that was; `room` is at least
// 8. The block that ends the run is written whole, its units past the run included: the
// caller's next writes go over them. Most text of messages is such ASCII, and the short
// runs between escapes and non-ASCII characters then cost a block step, not a step per
// character.
template <typename Char>
size_t CopyPlainAscii(const WChar* data, size_t count, Char* out, size_t room) {
    constexpr ScanSet kNotPlain = WithNonAscii(kJsonEscapedSet);
    constexpr size_t kBlock = kScanLanes<WChar>;
    size_t done = 0;
    while (count - done >= kBlock && room - done >= kBlock) {
        const size_t plain = FirstInSet<kNotPlain>(data + done);
        if constexpr (std::is_same_v<Char, char>) {
            NarrowBlock(data + done, out + done);
        } else {
            std::char_traits<WChar>::copy(out + done, data + done, kBlock);
        }
        done += plain;
        if (plain != kBlock) {
            break;
        }
    }
    return done;
}

// The text is built in a small buffer on the stack and appended a piece at a time.
// A lone surrogate is written as its \u escape: UTF-8 cannot carry it, and the parser
// reads the escape back as the same unit.
template <typename String>
void WriteString(String& out, WStringView text) {
    using Char = typename String::value_type;
    constexpr size_t kPiece = 256;
    // Room kept for one step: a block of plain ASCII, or one unit as an escape (6), or a
    // pair (4 bytes of UTF-8), and the closing quote.
    constexpr size_t kStep = kScanLanes<WChar> + 1;
    Char piece[kPiece];
    size_t used = 0;
    ReserveMore(out, text.size() + 2);
    piece[used++] = '"';
    const WChar* data = text.data();
    const size_t count = text.size();
    size_t i = 0;
    while (i < count) {
        if (used + kStep > kPiece) {
            out.append(piece, used);
            used = 0;
        }
        const size_t copied = CopyPlainAscii(data + i, count - i, piece + used, kPiece - 1 - used);
        used += copied;
        i += copied;
        if (i == count) {
            break;
        }
        if (copied != 0 && used + kStep > kPiece) {
            continue;  // the unit that ended the run goes into the next piece
        }
        const WChar c = data[i++];
        if (c < 0x80) {
            if (!IsInScanSet<kJsonEscapedSet>(c)) {
                piece[used++] = static_cast<Char>(c);
            } else {
                used += WriteEscape(c, piece + used);
            }
        } else if (!IsHighSurrogate(c) && !IsLowSurrogate(c)) {
            if constexpr (std::is_same_v<Char, char>) {
                used += static_cast<size_t>(EncodeUnitUtf8(c, piece + used));
            } else {
                piece[used++] = c;
            }
        } else if (IsHighSurrogate(c) && i < count && IsLowSurrogate(data[i])) {
            if constexpr (std::is_same_v<Char, char>) {
                EncodePairUtf8(c, data[i], piece + used);
                used += 4;
            } else {
                piece[used++] = c;
                piece[used++] = data[i];
            }
            ++i;
        } else {
            used += WriteEscape(c, piece + used);
        }
    }
    piece[used++] = '"';
    out.append(piece, used);
}

template <typename String>
void WriteValue(String& out, const JsonValue* node);

// What writing the value reads first after the node: its text or its container. The
// node itself must be at hand (fetched one step earlier), or this waits for it.
void PrefetchContent(const JsonValue* node) {
    if (node == nullptr) {
        return;
    }
    if (node->GetType() == kJsonString) {
        __builtin_prefetch(node->GetString().data());
    } else if (node->GetType() == kJsonObject) {
        __builtin_prefetch(node->GetMembers());
    } else if (node->GetType() == kJsonArray) {
        __builtin_prefetch(node->GetElements());
    }
}

template <typename String>
void WriteMembers(String& out, const JsonVariablesMap& members) {
    QAV_TRACE("JSONVM::ApTx");
    AppendAscii(out, "{ ");
    bool first = true;
    // A large tree does not fit the processor's caches, and its nodes, their texts and
    // containers lie apart: while a member is written, the node two members on is
    // fetched, and the content of the next one, whose node the step before fetched.
    const auto end = members.end();
    auto at = members.begin();
    auto next = at != end ? std::next(at) : end;
    if (next != end) {
        __builtin_prefetch(next->second.FindNode());
    }
    while (at != end) {
        const auto after = next != end ? std::next(next) : end;
        if (after != end) {
            __builtin_prefetch(after->second.FindNode());
        }
        if (next != end) {
            PrefetchContent(next->second.FindNode());
        }
        const auto& [name, value] = *at;
        at = next;
        next = after;
        // Set never stores a null value, but a shared value may have become null since.
        const JsonValue* node = value.FindNode();
        if (node == nullptr || node->GetType() == kJsonNull) {
            continue;
        }
        if (!first) {
            AppendAscii(out, ", ");
        }
        first = false;
        WriteString(out, name);
        out.push_back(':');
        WriteValue(out, node);
    }
    AppendAscii(out, " }");
}

template <typename String>
void WriteElements(String& out, const JsonArray& elements) {
    QAV_TRACE("JSONAR::ApTx");
    AppendAscii(out, "[ ");
    const size_t count = elements.size();
    if (count > 1) {
        __builtin_prefetch(elements[1].FindNode());
    }
    for (size_t i = 0; i < count; ++i) {
        if (i + 2 < count) {
            __builtin_prefetch(elements[i + 2].FindNode());
        }
        if (i + 1 < count) {
            PrefetchContent(elements[i + 1].FindNode());
        }
        if (i != 0) {
            AppendAscii(out, ", ");
        }
        WriteValue(out, elements[i].FindNode());
    }
    AppendAscii(out, " ]");
}

template <typename String>
void WriteValue(String& out, const JsonValue* node) {
    char digits[32];
    if (node == nullptr) {
        AppendAscii(out, "null");
        return;
    }
    switch (node->GetType()) {
        case kJsonNull:
            AppendAscii(out, "null");
            break;
        case kJsonInteger: {
            const auto end = std::to_chars(digits, digits + sizeof digits, node->GetInteger()).ptr;
            AppendAscii(out, std::string_view(digits, static_cast<size_t>(end - digits)));
            break;
        }
        case kJsonNumber: {
            // The shortest text that reads back to the same double. JSON has no infinity
            // or NaN, so such a number is written as null. A negative zero is written as
            // 0: "-0" would read back as the integer 0.
            double number = node->GetNumber();
            if (!std::isfinite(number)) {
                AppendAscii(out, "null");
                break;
            }
            if (number == 0) {
                number = 0;
            }
            const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
            AppendAscii(out, std::string_view(digits, static_cast<size_t>(end - digits)));
            break;
        }
        case kJsonBool:
            AppendAscii(out, node->GetBool() ? "true" : "false");
            break;
        case kJsonString:
            WriteString(out, node->GetString());
            break;
        case kJsonObject:
            if (node->GetMembers() != nullptr) {
                WriteMembers(out, *node->GetMembers());
            } else {
                AppendAscii(out, "{  }");
            }
            break;
        case kJsonArray:
            if (node->GetElements() != nullptr) {
                WriteElements(out, *node->GetElements());
            } else {
                AppendAscii(out, "[  ]");
            }
            break;
    }
}

}  // namespace

void JsonObject::AppendText(WString& out) const {
    WriteValue(out, m_node);
}

void JsonObject::ToText(std::string& out) const {
    out.clear();
    WriteValue(out, m_node);
}

void JsonObject::AppendString(WStringView text, WString& out) {
    WriteString(out, text);
}

void JsonVariablesMap::AppendText(WString& out) const {
    WriteMembers(out, *this);
}

void JsonArray::AppendText(WString& out) const {
    WriteElements(out, *this);
}

}  // namespace qav
