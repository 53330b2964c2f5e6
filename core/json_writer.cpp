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

// The text being written: units are stored in place past what `out` held, whose size
// grows with what has been written (the new room filled once) and is cut to what was
// written at the end. Appending piece by piece to the string would pay its checks and
// a copy call for every name, string, number and comma.
template <typename String>
class JsonOutput {
  public:
    using Char = typename String::value_type;

    explicit JsonOutput(String& out) : m_out(out), m_start(out.size()), m_length(m_start) {}
    ~JsonOutput() { m_out.resize(m_length); }
    JsonOutput(const JsonOutput&) = delete;
    JsonOutput& operator=(const JsonOutput&) = delete;

    // Room for `count` units at the returned position; Advance then counts those written.
    Char* Reserve(size_t count) {
        if (m_out.size() - m_length < count) {
            Grow(count);
        }
        return m_out.data() + m_length;
    }
    void Advance(size_t count) { m_length += count; }

    void Append(std::string_view ascii) {
        Char* at = Reserve(ascii.size());
        std::copy(ascii.begin(), ascii.end(), at);
        Advance(ascii.size());
    }
    void Push(char c) {
        *Reserve(1) = static_cast<Char>(c);
        Advance(1);
    }

  private:
    // At least doubles what is written, so that filling the room stays linear.
    [[gnu::noinline]] void Grow(size_t count) {
        m_out.resize(m_length + std::max(count, m_length - m_start + 256));
    }

    String& m_out;
    const size_t m_start;  // where the text began
    size_t m_length;       // where it ends so far
};

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
// block of eight units at a time, and returns how many units that was. The block that
// ends the run is written whole, its units past the run included: the caller's next
// writes go over them, and its room allows for them. Most text of messages is such
// ASCII, and the short runs between escapes and non-ASCII characters then cost a block
// step, not a step per character.
template <typename Char>
size_t CopyPlainAscii(const WChar* data, size_t count, Char* out) {
    constexpr ScanSet kNotPlain = WithNonAscii(kJsonEscapedSet);
    constexpr size_t kBlock = kScanLanes<WChar>;
    size_t done = 0;
    while (count - done >= kBlock) {
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

// The longest form of a unit: its escape (6), which is longer than its UTF-8 (3, or 4
// for a pair of two units).
constexpr size_t kLongestUnitForm = 6;

// A lone surrogate is written as its \u escape: UTF-8 cannot carry it, and the parser
// reads the escape back as the same unit.
template <typename String>
void WriteString(JsonOutput<String>& output, WStringView text) {
    using Char = typename String::value_type;
    const WChar* data = text.data();
    const size_t count = text.size();
    // The quotes, the longest form of every unit and the whole block CopyPlainAscii may
    // write past the last unit.
    Char* const start = output.Reserve(kLongestUnitForm * count + 2 + kScanLanes<WChar>);
    Char* o = start;
    *o++ = '"';
    size_t i = 0;
    while (i < count) {
        const size_t copied = CopyPlainAscii(data + i, count - i, o);
        o += copied;
        i += copied;
        if (i == count) {
            break;
        }
        const WChar c = data[i++];
        if (c < 0x80) {
            if (!IsInScanSet<kJsonEscapedSet>(c)) {
                *o++ = static_cast<Char>(c);
            } else {
                o += WriteEscape(c, o);
            }
        } else if (!IsHighSurrogate(c) && !IsLowSurrogate(c)) {
            if constexpr (std::is_same_v<Char, char>) {
                o += EncodeUnitUtf8(c, o);
            } else {
                *o++ = c;
            }
        } else if (IsHighSurrogate(c) && i < count && IsLowSurrogate(data[i])) {
            if constexpr (std::is_same_v<Char, char>) {
                EncodePairUtf8(c, data[i], o);
                o += 4;
            } else {
                *o++ = c;
                *o++ = data[i];
            }
            ++i;
        } else {
            o += WriteEscape(c, o);
        }
    }
    *o++ = '"';
    output.Advance(static_cast<size_t>(o - start));
}

// The shortest text of an integer or a double that reads back as the same value.
template <typename String, typename Number>
void WriteNumber(JsonOutput<String>& out, Number number) {
    constexpr size_t kLongest = 32;
    if constexpr (std::is_same_v<typename String::value_type, char>) {
        char* at = out.Reserve(kLongest);
        out.Advance(static_cast<size_t>(std::to_chars(at, at + kLongest, number).ptr - at));
    } else {
        char digits[kLongest];
        const char* end = std::to_chars(digits, digits + kLongest, number).ptr;
        out.Append(std::string_view(digits, static_cast<size_t>(end - digits)));
    }
}

template <typename String>
void WriteValue(JsonOutput<String>& out, const JsonValue* node);

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
void WriteMembers(JsonOutput<String>& out, const JsonVariablesMap& members) {
    QAV_TRACE("JSONVM::ApTx");
    out.Append("{ ");
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
            out.Append(", ");
        }
        first = false;
        WriteString(out, name);
        out.Push(':');
        WriteValue(out, node);
    }
    out.Append(" }");
}

template <typename String>
void WriteElements(JsonOutput<String>& out, const JsonArray& elements) {
    QAV_TRACE("JSONAR::ApTx");
    out.Append("[ ");
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
            out.Append(", ");
        }
        WriteValue(out, elements[i].FindNode());
    }
    out.Append(" ]");
}

template <typename String>
void WriteValue(JsonOutput<String>& out, const JsonValue* node) {
    if (node == nullptr) {
        out.Append("null");
        return;
    }
    switch (node->GetType()) {
        case kJsonNull:
            out.Append("null");
            break;
        case kJsonInteger:
            WriteNumber(out, node->GetInteger());
            break;
        case kJsonNumber: {
            // The shortest text that reads back to the same double. JSON has no infinity
            // or NaN, so such a number is written as null. A negative zero is written as
            // 0: "-0" would read back as the integer 0.
            double number = node->GetNumber();
            if (!std::isfinite(number)) {
                out.Append("null");
                break;
            }
            if (number == 0) {
                number = 0;
            }
            WriteNumber(out, number);
            break;
        }
        case kJsonBool:
            out.Append(node->GetBool() ? "true" : "false");
            break;
        case kJsonString:
            WriteString(out, node->GetString());
            break;
        case kJsonObject:
            if (node->GetMembers() != nullptr) {
                WriteMembers(out, *node->GetMembers());
            } else {
                out.Append("{  }");
            }
            break;
        case kJsonArray:
            if (node->GetElements() != nullptr) {
                WriteElements(out, *node->GetElements());
            } else {
                out.Append("[  ]");
            }
            break;
    }
}

}  // namespace

void JsonObject::AppendText(WString& out) const {
    JsonOutput<WString> output(out);
    WriteValue(output, m_node);
}

void JsonObject::ToText(std::string& out) const {
    out.clear();
    JsonOutput<std::string> output(out);
    WriteValue(output, m_node);
}

void JsonObject::AppendString(WStringView text, WString& out) {
    JsonOutput<WString> output(out);
    WriteString(output, text);
}

void JsonVariablesMap::AppendText(WString& out) const {
    JsonOutput<WString> output(out);
    WriteMembers(output, *this);
}

void JsonArray::AppendText(WString& out) const {
    JsonOutput<WString> output(out);
    WriteElements(output, *this);
}

}  // namespace qav
