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
#include <vector>

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

// Writes a value unless it holds a container, which the caller opens (false). Inline: it
// is called for every value, in the loops over members and elements.
template <typename String>
[[gnu::always_inline]] inline bool WriteScalar(JsonOutput<String>& out, const JsonValue* node) {
    if (node == nullptr) {
        out.Append("null");
        return true;
    }
    switch (node->GetType()) {
        case kJsonNull:
            out.Append("null");
            return true;
        case kJsonInteger:
            WriteNumber(out, node->GetInteger());
            return true;
        case kJsonNumber: {
            // The shortest text that reads back to the same double. JSON has no infinity
            // or NaN, so such a number is written as null. A negative zero is written as
            // 0: "-0" would read back as the integer 0.
            double number = node->GetNumber();
            if (!std::isfinite(number)) {
                out.Append("null");
                return true;
            }
            if (number == 0) {
                number = 0;
            }
            WriteNumber(out, number);
            return true;
        }
        case kJsonBool:
            out.Append(node->GetBool() ? "true" : "false");
            return true;
        case kJsonString:
            WriteString(out, node->GetString());
            return true;
        case kJsonObject:
            if (node->GetMembers() == nullptr) {
                out.Append("{  }");
                return true;
            }
            return false;
        case kJsonArray:
            if (node->GetElements() == nullptr) {
                out.Append("[  ]");
                return true;
            }
            return false;
    }
    return true;
}

// A container being written and the place of its next value.
struct OpenContainer {
    const JsonVariablesMap* members;  // or elements
    const JsonArray* elements;
    JsonVariablesMap::const_iterator at;
    size_t index;
    bool written;  // a value of this container has been written
};

// Puts the container of `node`, which WriteScalar left, onto `open`.
// The node of its second value is fetched at once: the loop over the values reads it
// while it writes the first.
void Open(std::vector<OpenContainer>& open, const JsonValue* node) {
    if (const JsonVariablesMap* members = node->GetMembers()) {
        const auto first = members->begin();
        if (first != members->end() && std::next(first) != members->end()) {
            __builtin_prefetch(std::next(first)->second.FindNode());
        }
        open.push_back({members, nullptr, first, 0, false});
    } else {
        const JsonArray* elements = node->GetElements();
        if (elements->size() > 1) {
            __builtin_prefetch((*elements)[1].FindNode());
        }
        open.push_back({nullptr, elements, {}, 0, false});
    }
}

// Writes the values of the innermost open container from where it stopped, a value that
// holds no container in place, and returns when it ends (closed and taken off `open`) or
// when it comes to a container, which goes onto `open` to be written next. The open
// containers are kept on the heap rather than on the machine stack: a tree built through
// the value operations may nest as deep as memory allows.
//
// A large tree does not fit the processor's caches, and its nodes, their texts and
// containers lie apart: while a value is written, the node two values on is fetched, and
// the content of the next one, whose node the step before fetched.
template <typename String>
void WriteOpenMembers(JsonOutput<String>& out, std::vector<OpenContainer>& open) {
    OpenContainer& frame = open.back();
    const auto end = frame.members->end();
    auto at = frame.at;
    auto next = at != end ? std::next(at) : end;
    bool written = frame.written;
    while (at != end) {
        const auto after = next != end ? std::next(next) : end;
        if (after != end) {
            __builtin_prefetch(after->second.FindNode());
        }
        if (next != end) {
            PrefetchContent(next->second.FindNode());
        }
        const auto& [name, member] = *at;
        at = next;
        next = after;
        // Set never stores a null value, but a shared value may have become null since.
        const JsonValue* node = member.FindNode();
        if (node == nullptr || node->GetType() == kJsonNull) {
            continue;
        }
        out.Append(written ? ", " : "{ ");
        written = true;
        WriteString(out, name);
        out.Push(':');
        if (!WriteScalar(out, node)) {
            frame.at = at;
            frame.written = true;
            Open(open, node);  // `frame` moves
            return;
        }
    }
    out.Append(written ? " }" : "{  }");
    open.pop_back();
}

template <typename String>
void WriteOpenElements(JsonOutput<String>& out, std::vector<OpenContainer>& open) {
    OpenContainer& frame = open.back();
    const JsonArray& elements = *frame.elements;
    const size_t count = elements.size();
    for (size_t i = frame.index; i < count; ++i) {
        if (i + 2 < count) {
            __builtin_prefetch(elements[i + 2].FindNode());
        }
        if (i + 1 < count) {
            PrefetchContent(elements[i + 1].FindNode());
        }
        out.Append(i != 0 ? ", " : "[ ");
        const JsonValue* node = elements[i].FindNode();
        if (!WriteScalar(out, node)) {
            frame.index = i + 1;
            Open(open, node);  // `frame` moves
            return;
        }
    }
    out.Append(count != 0 ? " ]" : "[  ]");
    open.pop_back();
}

template <typename String>
void WriteOpen(JsonOutput<String>& out, std::vector<OpenContainer>& open) {
    while (!open.empty()) {
        if (open.back().members != nullptr) {
            WriteOpenMembers(out, open);
        } else {
            WriteOpenElements(out, open);
        }
    }
}

template <typename String>
void WriteValue(JsonOutput<String>& out, const JsonValue* node) {
    if (!WriteScalar(out, node)) {
        std::vector<OpenContainer> open;
        Open(open, node);
        WriteOpen(out, open);
    }
}

template <typename String>
void WriteMembers(JsonOutput<String>& out, const JsonVariablesMap& members) {
    QAV_TRACE("JSONVM::ApTx");
    std::vector<OpenContainer> open;
    open.push_back({&members, nullptr, members.begin(), 0, false});
    WriteOpen(out, open);
}

template <typename String>
void WriteElements(JsonOutput<String>& out, const JsonArray& elements) {
    QAV_TRACE("JSONAR::ApTx");
    std::vector<OpenContainer> open;
    open.push_back({nullptr, &elements, {}, 0, false});
    WriteOpen(out, open);
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
