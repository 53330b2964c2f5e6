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

// Copies, eight units at a time, the longest run of ASCII that needs no escape, at most
// `room` units; returns how many it copied. Most text of messages is such ASCII.
template <typename Char>
size_t CopyPlainAscii(const WChar* data, size_t count, Char* out, size_t room) {
    constexpr ScanSet kNotPlain = WithNonAscii(kJsonEscapedSet);
    size_t done = 0;
    while (count - done >= 8 && room - done >= 8) {
        if (AnyInSet<kNotPlain>(data + done)) {
            break;
        }
        if constexpr (std::is_same_v<Char, char>) {
            NarrowBlock(data + done, out + done);
        } else {
            std::char_traits<WChar>::copy(out + done, data + done, 8);
        }
        done += 8;
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
    constexpr size_t kLongest = 6;  // an escape; the UTF-8 of a pair takes 4
    Char piece[kPiece];
    size_t used = 0;
    ReserveMore(out, text.size() + 2);
    piece[used++] = '"';
    const WChar* data = text.data();
    const size_t count = text.size();
    for (size_t i = 0; i < count; ++i) {
        if (used + kLongest + 1 > kPiece) {  // room for one more unit and the closing quote
            out.append(piece, used);
            used = 0;
        }
        if (const size_t copied =
                CopyPlainAscii(data + i, count - i, piece + used, kPiece - 1 - used);
            copied != 0) {
            used += copied;
            i += copied - 1;
            continue;
        }
        const WChar c = data[i];
        if (c < 0x80) {
            if (!IsInScanSet<kJsonEscapedSet>(c)) {
                piece[used++] = static_cast<Char>(c);
            } else {
                used += WriteEscape(c, piece + used);
            }
        } else if (c < 0xD800 || c > 0xDFFF) {
            if constexpr (std::is_same_v<Char, char>) {
                used += static_cast<size_t>(EncodeUnitUtf8(c, piece + used));
            } else {
                piece[used++] = c;
            }
        } else if (IsHighSurrogate(c) && i + 1 < count && IsLowSurrogate(data[i + 1])) {
            if constexpr (std::is_same_v<Char, char>) {
                EncodePairUtf8(c, data[i + 1], piece + used);
                used += 4;
            } else {
                piece[used++] = c;
                piece[used++] = data[i + 1];
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

template <typename String>
void WriteMembers(String& out, const JsonVariablesMap& members) {
    QAV_TRACE("JSONVM::ApTx");
    AppendAscii(out, "{ ");
    bool first = true;
    for (auto at = members.begin(); at != members.end(); ++at) {
        // A large tree does not fit the caches: the next node is fetched while this one
        // is written.
        if (const auto next = std::next(at); next != members.end()) {
            __builtin_prefetch(next->second.FindNode());
        }
        const auto& [name, value] = *at;
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
    for (size_t i = 0; i < elements.size(); ++i) {
        if (i + 1 < elements.size()) {
            __builtin_prefetch(elements[i + 1].FindNode());
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
