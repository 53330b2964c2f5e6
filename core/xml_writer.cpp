// The writer of XmlDocument and its exact length count. Both walk the tree with an
// explicit stack of child positions. UTF-16 text is measured first and written into an
// output of exactly that size. SaveToString writes UTF-8 straight from the tree (a unit
// at a time, as WideToUtf8 encodes, so both forms agree byte for byte) into an output
// that grows as needed: measuring UTF-8 would cost as much as writing it.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/text_scan.h"
#include "core/trace_frame.h"
#include "core/utf8_codec.h"
#include "core/xml_document.h"
#include "core/xml_escape.h"
#include "core/xml_scan.h"

namespace qav {
namespace {

constexpr char kXmlDeclaration[] = "<?xml version='1.0' encoding='UTF-8'?>";
constexpr size_t kXmlDeclarationLength = sizeof(kXmlDeclaration) - 1;

// The parser drops the white space that opens a run of character data, so a text that
// starts with some keeps that first character as a reference.
const char* LeadingWhiteSpaceReference(WStringView text) {
    if (text.empty()) {
        return nullptr;
    }
    switch (text[0]) {
        case u'\t':
            return "&#9;";
        case u'\r':
            return "&#13;";
        case u'\n':
            return "&#10;";
        case u' ':
            return "&#32;";
        default:
            return nullptr;
    }
}

// Bytes that grow by realloc: nothing is zero-filled, and the C library moves a large
// block by remapping its pages rather than copying them.
class GrowingBytes {
  public:
    using value_type = char;

    GrowingBytes() = default;
    ~GrowingBytes() { std::free(m_data); }
    GrowingBytes(const GrowingBytes&) = delete;
    GrowingBytes& operator=(const GrowingBytes&) = delete;

    char* data() { return m_data; }
    size_t size() const { return m_size; }
    void resize(size_t size) {
        if (size > m_capacity) {
            void* grown = std::realloc(m_data, size);
            if (grown == nullptr) {
                throw std::bad_alloc();
            }
            m_data = static_cast<char*>(grown);
            m_capacity = size;
        }
        m_size = size;
    }

  private:
    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

bool IsLeaf(const XmlNode& node) {
    return node.m_children.empty() && node.m_text.empty();
}

// Writes into a string: UTF-16 into one already sized by the measuring walk, UTF-8 into
// one that grows (Reserve makes room for at least the bytes asked before each write).
template <typename String>
class TextSink {
  public:
    using Char = typename String::value_type;
    static constexpr bool kUtf8 = sizeof(Char) == 1;
    // The most one unit can become: "&null;", or three bytes of UTF-8.
    static constexpr size_t kMaxPerUnit = 6;

    explicit TextSink(String& out) : m_out(out), m_at(out.data()), m_end(out.data() + out.size()) {}

    // The written length; the output string is cut to it.
    size_t Finish() {
        const size_t length = static_cast<size_t>(m_at - m_out.data());
        m_out.resize(length);
        return length;
    }

    void Reserve(size_t units) {
        if constexpr (kUtf8) {
            if (static_cast<size_t>(m_end - m_at) < units) {
                Grow(units);
            }
        }
    }

    // Room for a text of `units` escaped, with `extra` ASCII characters around it.
    void ReserveText(size_t units, size_t extra) {
        if constexpr (kUtf8) {
            Reserve(units * kMaxPerUnit + extra + 8);  // 8: the block store may overrun
        }
    }

    void Put(char c) { *m_at++ = static_cast<Char>(c); }

    void PutAscii(const char* text) {
        Char* at = m_at;  // see PutEscapedUtf8
        while (*text != 0) {
            *at++ = static_cast<Char>(*text++);
        }
        m_at = at;
    }

    void PutPlain(WStringView text) { PutRun(text.data(), text.size()); }

    void PutEscaped(WStringView text) {
        if constexpr (kUtf8) {
            PutEscapedUtf8(text);
        } else {
            // The runs between escaped characters go out whole.
            const WChar* data = text.data();
            size_t copied = 0;
            for (size_t at = FindXmlEscaped(text, 0); at < text.size();
                 at = FindXmlEscaped(text, at + 1)) {
                PutRun(data + copied, at - copied);
                PutAscii(XmlEscapeOf(data[at]).text);
                copied = at + 1;
            }
            PutRun(data + copied, text.size() - copied);
        }
    }

  private:
    void PutEscapedUtf8(WStringView text) {
        const WChar* data = text.data();
        const size_t size = text.size();
        // The position is kept here rather than in m_at: a byte stored through a char
        // pointer could be m_at itself for all the compiler knows, so it would store and
        // reload the member around every byte.
        char* at = m_at;
        size_t i = 0;
        // Eight units at once while they are plain ASCII; all eight are stored, and the
        // bytes after the plain ones are written over next.
        constexpr ScanSet kNotPlain = WithNonAscii(kXmlEscapedSet);
        while (i + 8 <= size) {
            NarrowBlock(data + i, at);
            const size_t count = FirstInSet<kNotPlain>(data + i);
            at += count;
            i += count;
            if (count == 0) {
                // Non-ASCII text often comes in runs: take the block one unit at a time.
                for (const size_t end = i + 8; i < end; ++i) {
                    at = PutEscapedUnit(data[i], at);
                }
            }
        }
        for (; i < size; ++i) {
            at = PutEscapedUnit(data[i], at);
        }
        m_at = at;
    }

    // Room for eight bytes is reserved past every unit (ReserveText).
    static char* PutEscapedUnit(WChar unit, char* at) {
        if (unit >= 0x80) {
            return at + EncodeUnitUtf8(unit, at);
        }
        if (IsXmlEscaped(unit)) {
            const XmlEscapeText& escape = XmlEscapeOf(unit);
            std::memcpy(at, escape.text, sizeof(escape.text));
            return at + escape.length;
        }
        *at = static_cast<char>(unit);
        return at + 1;
    }

    void PutRun(const WChar* text, size_t count) {
        if constexpr (kUtf8) {
            char* at = m_at;  // see PutEscapedUtf8
            for (size_t i = 0; i < count; ++i) {
                const WChar unit = text[i];
                if (unit < 0x80) {
                    *at++ = static_cast<char>(unit);
                } else {
                    at += EncodeUnitUtf8(unit, at);
                }
            }
            m_at = at;
        } else {
            std::char_traits<WChar>::copy(m_at, text, count);
            m_at += count;
        }
    }

    void Grow(size_t units) {
        const size_t used = static_cast<size_t>(m_at - m_out.data());
        m_out.resize(std::max(m_out.size() * 2, used + units));
        m_at = m_out.data() + used;
        m_end = m_out.data() + m_out.size();
    }

    String& m_out;
    Char* m_at;
    Char* m_end;
};

size_t OpeningTagLength(const XmlNode& node) {
    size_t length = 1 + node.m_name.size();
    for (const auto& [name, value] : node.m_attributes) {
        length += name.size() + XmlEscapedLength(value) + 4;
    }
    return length + (IsLeaf(node) ? 2 : 1);
}

size_t TextAndClosingTagLength(const XmlNode& node) {
    size_t length = XmlEscapedLength(node.m_text) + node.m_name.size() + 3;
    if (const char* reference = LeadingWhiteSpaceReference(node.m_text)) {
        length += std::char_traits<char>::length(reference) - 1;
    }
    return length;
}

template <typename Sink>
void WriteOpeningTag(const XmlNode& node, Sink& out) {
    out.ReserveText(node.m_name.size(), 3);
    out.Put('<');
    out.PutPlain(node.m_name);
    for (const auto& [name, value] : node.m_attributes) {
        out.ReserveText(name.size() + value.size(), 4);
        out.Put(' ');
        out.PutPlain(name);
        out.Put('=');
        out.Put('"');
        out.PutEscaped(value);
        out.Put('"');
    }
    out.PutAscii(IsLeaf(node) ? "/>" : ">");
}

template <typename Sink>
void WriteTextAndClosingTag(const XmlNode& node, Sink& out) {
    out.ReserveText(node.m_text.size() + node.m_name.size(), 3);
    WStringView text = node.m_text;
    if (const char* reference = LeadingWhiteSpaceReference(text)) {
        out.PutAscii(reference);
        text.remove_prefix(1);
    }
    out.PutEscaped(text);
    out.Put('<');
    out.Put('/');
    out.PutPlain(node.m_name);
    out.Put('>');
}

// Calls opening(node) for every node depth first, and closing(node) after the
// children of every node that is not a leaf.
template <typename Opening, typename Closing>
void WalkTree(const XmlNode& root, Opening&& opening, Closing&& closing) {
    std::vector<std::pair<const XmlNode*, size_t>> stack;
    opening(root);
    if (IsLeaf(root)) {
        return;
    }
    stack.emplace_back(&root, 0);
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next == node->m_children.size()) {
            closing(*node);
            stack.pop_back();
            continue;
        }
        const XmlNode& child = *node->m_children[next++];
        opening(child);
        if (!IsLeaf(child)) {
            stack.emplace_back(&child, 0);  // `node` and `next` are not used after this
        }
    }
}

// Writes the text of a document that has a root into `sink`.
template <typename Sink>
void WriteTree(const XmlDocumentBlock& document, Sink& sink) {
    if (document.m_declarationFlag != 0) {
        sink.Reserve(kXmlDeclarationLength);
        sink.PutAscii(kXmlDeclaration);
    }
    WalkTree(
        *document.m_root, [&sink](const XmlNode& node) { WriteOpeningTag(node, sink); },
        [&sink](const XmlNode& node) { WriteTextAndClosingTag(node, sink); });
}

}  // namespace

bool XmlDocument::ToXmlText(const XmlDocumentBlock& document, WString& out) {
    QAV_TRACE("VT::TXML");
    if (document.m_root == nullptr) {
        return false;
    }
    const size_t length = GetXmlTextLength(document);
    out.clear();
    if (out.capacity() < length) {
        out.reserve(length);
    }
    out.resize(length);
    TextSink<WString> sink(out);
    WriteTree(document, sink);
    sink.Finish();
    return true;
}

size_t XmlDocument::GetXmlTextLength(const XmlDocumentBlock& document) {
    QAV_TRACE("VT::TXL");
    int64_t iLoopIndex = 0;
    int64_t iTotalLength = 0;
    QAV_TRACE_VAR("iLoopIndex", iLoopIndex, kTraceInt64);
    QAV_TRACE_VAR("iTotalLength", iTotalLength, kTraceInt64);
    size_t total = document.m_declarationFlag != 0 ? kXmlDeclarationLength : 0;
    if (document.m_root != nullptr) {
        WalkTree(
            *document.m_root,
            [&](const XmlNode& node) {
                ++iLoopIndex;
                total += OpeningTagLength(node);
                iTotalLength = static_cast<int64_t>(total);
            },
            [&](const XmlNode& node) {
                total += TextAndClosingTagLength(node);
                iTotalLength = static_cast<int64_t>(total);
            });
    }
    return total;
}

void XmlDocument::SaveToString(std::string& out) {
    QAV_TRACE("VT::TXML");
    if (m_block->m_root == nullptr) {
        out.clear();
        return;
    }
    // No measuring walk: on a large tree it misses the cache as often as writing does.
    // The text goes into a buffer that doubles as it fills, then into `out` in one copy.
    GrowingBytes bytes;
    bytes.resize(4096);
    TextSink<GrowingBytes> sink(bytes);
    WriteTree(*m_block, sink);
    const size_t length = sink.Finish();
    // Empty, as from the UTF-8 conversion, when the text is too long for an int count.
    if (length > INT_MAX) {
        out.clear();
    } else {
        out.assign(bytes.data(), length);
    }
}

}  // namespace qav
