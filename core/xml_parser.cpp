// The parser of XmlDocument: one pass, no recursion; the open element is followed up
// through parent pointers.
//
// It reads UTF-16 text, and UTF-8 text as it is: no UTF-16 copy of the whole input is
// made (for a large document that copy cost more than the rest of the parse, in memory
// and in time), and only names, values and character data are decoded, each once. The
// markup is ASCII either way, and a well-formed multi-byte sequence decodes to units of
// 0x80 and above only, so both forms of a text give the same tree; UTF-8 that is not
// well-formed is decoded leniently and parsed as UTF-16 (see ParseXmlBytes).
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "core/xml_document.h"
#include "core/xml_escape.h"
#include "core/xml_scan.h"
#include "core/xml_utf8.h"

namespace qav {
namespace {

template <typename Char>
using TextView = std::basic_string_view<Char>;

// What ends a name, by the unit (all units from 0x80 on are part of a name): white
// space, and '/' and '>' for an element's, '=' for an attribute's. A table read per
// unit costs less than four comparisons.
constexpr uint8_t kEndsTagName = 1;
constexpr uint8_t kEndsAttributeName = 2;
constexpr auto kNameEnds = [] {
    std::array<uint8_t, 128> ends{};
    for (const char c : {' ', '\t', '\n', '\r'}) {
        ends[static_cast<size_t>(c)] = kEndsTagName | kEndsAttributeName;
    }
    ends['/'] = kEndsTagName;
    ends['>'] = kEndsTagName;
    ends['='] = kEndsAttributeName;
    return ends;
}();

template <typename Char>
bool EndsName(Char c, uint8_t which) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    return unit < kNameEnds.size() && (kNameEnds[unit] & which) != 0;
}

// The index of the first unit at or after `from` that ends a name of the kind `which`,
// or text.size(). Names are what a message holds most of after values: UTF-8 is looked
// at sixteen bytes at a time, each compared with the four white-space bytes and the
// marks.
template <typename Char>
size_t FindNameEnd(TextView<Char> text, size_t from, uint8_t which) {
    size_t i = from;
#if defined(__SSE2__)
    if constexpr (sizeof(Char) == 1) {
        const __m128i first = _mm_set1_epi8(which == kEndsTagName ? '/' : '=');
        const __m128i second = _mm_set1_epi8(which == kEndsTagName ? '>' : '=');
        for (; i + 16 <= text.size(); i += 16) {
            const __m128i block =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
            const __m128i spaces =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(' ')),
                                          _mm_cmpeq_epi8(block, _mm_set1_epi8('\t'))),
                             _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\n')),
                                          _mm_cmpeq_epi8(block, _mm_set1_epi8('\r'))));
            const __m128i marks =
                _mm_or_si128(_mm_cmpeq_epi8(block, first), _mm_cmpeq_epi8(block, second));
            const auto found =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(spaces, marks)));
            if (found != 0) {
                return i + static_cast<size_t>(__builtin_ctz(found));
            }
        }
    }
#endif
    while (i < text.size() && !EndsName(text[i], which)) {
        ++i;
    }
    return i;
}

// Tokens of the text as UTF-16: views into the text itself where it is UTF-16 and the
// token holds no reference to decode, else decoded into a buffer that is reused from
// token to token. Names and most values fit the decoder's own array, so a message
// takes no heap block for them; a longer token takes a heap buffer that grows to the
// longest and is never zero-filled again.
template <typename Char>
class TokenDecoder {
  public:
    // Decodes tokens of `text`.
    explicit TokenDecoder(TextView<Char> text) : m_textEnd(text.data() + text.size()) {}

    // False for UTF-8 that is not well-formed. `references`: decode entity references
    // too. `out` is valid until the next call.
    bool Decode(TextView<Char> token, bool references, WStringView& out) {
        if constexpr (std::is_same_v<Char, WChar>) {
            if (!references) {
                out = token;
                return true;
            }
        }
        static_assert(kShortestBuffer >= kUtf8TokenBlock);
        WChar* buffer = m_short;
        if (token.size() > kShortestBuffer) {
            if (m_long.size() < token.size()) {
                m_long.resize(token.size());
            }
            buffer = m_long.data();
        }
        size_t units = 0;
        if (references) {
            units = XmlDecodeRun(token, buffer);
        } else if constexpr (std::is_same_v<Char, char>) {
            units = DecodeUtf8Token(token, static_cast<size_t>(m_textEnd - token.data()), buffer);
        }
        out = WStringView(buffer, units == WStringView::npos ? 0 : units);
        return units != WStringView::npos;
    }

  private:
    static constexpr size_t kShortestBuffer = 128;

    const Char* m_textEnd;
    WChar m_short[kShortestBuffer];  // written before it is read
    WString m_long;
};

// Tokens that are skipped rather than decoded are still checked: a parse of UTF-8 that
// succeeds has then seen every byte of the text (see ParseXmlBytes).
inline bool IsWellFormedToken(WStringView) {
    return true;
}
inline bool IsWellFormedToken(std::string_view token) {
    return IsWellFormedUtf8(token);
}

// The attribute list reader behind XmlNode::ParseAttributes, for either form of text.
// It finds the whole list before it decodes any of it, so that the map grows once, to
// its size.
template <typename Char>
class AttributeReader {
  public:
    explicit AttributeReader(TextView<Char> text) : m_names(text), m_values(text) {
        m_found.reserve(kUsualLongestList);
    }

    // Reads the list starting at text[position] into `attributes` and leaves `position`
    // at the '/', '>' or `terminator` (0 for none) that ended it. A name met twice keeps
    // its first value. False on a malformed list or the end of the text.
    bool Read(XmlAttributeMap& attributes, TextView<Char> text, size_t& position, Char terminator) {
        m_found.clear();
        size_t p = position;
        const auto skipWhiteSpace = [&] {
            while (p < text.size() && IsXmlWhiteSpace(text[p])) {
                ++p;
            }
            return p < text.size();
        };
        if (!skipWhiteSpace()) {
            return false;
        }
        for (;;) {
            const Char c = text[p];
            if (c == '/' || c == '>' || (terminator != 0 && c == terminator)) {
                break;
            }
            const size_t nameStart = p;
            p = FindNameEnd(text, p, kEndsAttributeName);
            const TextView<Char> name = text.substr(nameStart, p - nameStart);
            if (!skipWhiteSpace() || text[p] != '=') {
                return false;
            }
            ++p;
            if (!skipWhiteSpace() || (text[p] != '"' && text[p] != '\'')) {
                return false;
            }
            const Char quote = text[p];
            const size_t valueStart = p + 1;
            // Most values hold no reference: one search finds both the end and that.
            size_t valueEnd = FindEitherXmlUnit(text, valueStart, quote, Char('&'));
            const bool hasReference = valueEnd < text.size() && text[valueEnd] == '&';
            if (hasReference) {
                valueEnd = FindXmlUnit(text, valueEnd + 1, quote);
            }
            if (valueEnd == text.size()) {
                return false;
            }
            m_found.push_back({name, text.substr(valueStart, valueEnd - valueStart), hasReference});
            p = valueEnd + 1;
            if (!skipWhiteSpace()) {
                return false;
            }
        }
        if (!m_found.empty() && !Take(attributes)) {
            return false;
        }
        position = p;
        return true;
    }

    // The decoders, for the other tokens of the text.
    TokenDecoder<Char>& Names() { return m_names; }
    TokenDecoder<Char>& Values() { return m_values; }

  private:
    // The room the list of attributes found starts with.
    static constexpr size_t kUsualLongestList = 8;

    struct Found {
        TextView<Char> name;
        TextView<Char> value;  // as written, between the quotes
        bool hasReference;
    };

    // Decodes the list found into `attributes`; false for UTF-8 that is not well-formed.
    bool Take(XmlAttributeMap& attributes) {
        // Lists usually come in name order (the writer's), so a name after the last one
        // is appended at once. One out of order is inserted in place while the list is
        // short; in a long one it is appended and the list sorted once at the end, as
        // inserting each in place would make a long reversed list quadratic.
        constexpr size_t kLongestInsertedInPlace = 16;
        attributes.reserve(attributes.size() + m_found.size());
        bool sorted = true;
        bool ok = true;
        for (const Found& found : m_found) {
            WStringView name;
            if (!m_names.Decode(found.name, false, name)) {
                ok = false;
                break;
            }
            // Once out of order, a name met again is weeded out by the sort at the end,
            // which keeps the earliest.
            auto at = attributes.end();
            if (sorted && !attributes.empty() && WStringView(at[-1].first).compare(name) >= 0) {
                at = attributes.lower_bound(name);
                if (at == attributes.end() || at->first != name) {
                    sorted = attributes.size() < kLongestInsertedInPlace;
                    if (!sorted) {
                        at = attributes.end();
                    }
                }
            }
            if (at == attributes.end() || at->first != name) {
                WStringView value;
                if (!m_values.Decode(found.value, found.hasReference, value)) {
                    ok = false;
                    break;
                }
                attributes.EmplaceCopies(at, name, value);
            } else if (!IsWellFormedToken(found.value)) {
                ok = false;
                break;
            }
        }
        if (!sorted) {
            attributes.SortAndKeepFirst();
        }
        return ok;
    }

    // Element and attribute names, and values and character data: two, as an
    // attribute's name is still needed while its value is decoded.
    TokenDecoder<Char> m_names;
    TokenDecoder<Char> m_values;
    std::vector<Found> m_found;  // reused from list to list
};

template <typename Char>
class TreeParser {
  public:
    TreeParser(XmlDocumentBlock& document, TextView<Char> text)
        : m_document(document), m_text(text), m_reader(text) {}

    // The new root, or null when the text is not a document.
    std::unique_ptr<XmlNode> Parse() {
        for (;;) {
            while (m_position < m_text.size() && IsXmlWhiteSpace(m_text[m_position])) {
                ++m_position;
            }
            if (m_position == m_text.size()) {
                break;
            }
            const bool ok = m_text[m_position] == '<' ? ParseTag() : ParseCharacterData();
            if (!ok) {
                return nullptr;
            }
        }
        if (m_open != nullptr) {
            return nullptr;
        }
        return std::move(m_root);
    }

  private:
    bool ParseTag() {
        const size_t afterBracket = m_position + 1;
        const bool closing = afterBracket < m_text.size() && m_text[afterBracket] == '/';
        const size_t nameStart = closing ? afterBracket + 1 : afterBracket;
        const size_t nameEnd = FindNameEnd(m_text, nameStart, kEndsTagName);
        if (nameEnd >= m_text.size() || nameEnd == nameStart) {
            return false;
        }
        const TextView<Char> name = m_text.substr(nameStart, nameEnd - nameStart);
        if (closing) {
            return CloseElement(name, nameEnd);
        }
        if (name[0] == '?') {
            return IsWellFormedToken(name) && SkipProcessingInstruction(nameEnd);
        }
        return OpenElement(name, nameEnd);
    }

    bool SkipProcessingInstruction(size_t position) {
        XmlAttributeMap scratch;
        const bool listOk = m_reader.Read(scratch, m_text, position, Char('?'));
        m_document.m_declarationFlag = 1;
        if (!listOk || position + 1 >= m_text.size() || m_text[position] != '?' ||
            m_text[position + 1] != '>') {
            return false;
        }
        m_position = position + 2;
        return true;
    }

    bool CloseElement(TextView<Char> nameText, size_t nameEnd) {
        WStringView name;
        if (m_open == nullptr || m_text[nameEnd] != '>' ||
            !m_reader.Names().Decode(nameText, false, name) || name != m_open->m_name) {
            return false;
        }
        m_open = m_open->m_parent;
        m_position = nameEnd + 1;
        return true;
    }

    bool OpenElement(TextView<Char> nameText, size_t nameEnd) {
        WStringView name;
        if (!m_reader.Names().Decode(nameText, false, name)) {
            return false;
        }
        XmlNode* node = nullptr;
        if (m_open == nullptr) {
            if (m_root != nullptr) {
                return false;  // one root only
            }
            m_root.reset(new (&m_document) XmlNode(&m_document, name, nullptr));
            node = m_root.get();
        } else {
            node = new (&m_document) XmlNode(&m_document, name, m_open);
        }
        m_open = node;
        size_t position = nameEnd;
        if (!m_reader.Read(node->m_attributes, m_text, position, Char(0))) {
            return false;
        }
        if (m_text[position] == '>') {
            m_position = position + 1;
            return true;
        }
        if (m_text[position] == '/' && position + 1 < m_text.size() &&
            m_text[position + 1] == '>') {
            m_open = node->m_parent;
            m_position = position + 2;
            return true;
        }
        return false;
    }

    bool ParseCharacterData() {
        const size_t end = FindXmlUnit(m_text, m_position, Char('<'));
        if (m_open == nullptr || end == m_text.size()) {
            return false;
        }
        WStringView text;
        if (!m_reader.Values().Decode(m_text.substr(m_position, end - m_position), true, text)) {
            return false;
        }
        m_open->m_text.append(text);
        m_position = end;
        return true;
    }

    XmlDocumentBlock& m_document;
    const TextView<Char> m_text;
    size_t m_position = 0;
    std::unique_ptr<XmlNode> m_root;  // the whole partial tree goes with it on failure
    XmlNode* m_open = nullptr;
    // Its decoders serve the element names and character data too.
    AttributeReader<Char> m_reader;
};

template <typename Char>
bool ParseTree(XmlDocumentBlock& document, TextView<Char> text) {
    // A tree takes a few times its text's bytes.
    document.m_pool.ExpectBytes(text.size() * sizeof(Char));
    std::unique_ptr<XmlNode> root = TreeParser<Char>(document, text).Parse();
    if (root == nullptr) {
        return false;
    }
    document.ReplaceRoot(root.release());
    return true;
}

}  // namespace

bool XmlNode::ParseAttributes(XmlAttributeMap& attributes, WStringView text, size_t& position,
                              WChar terminator) {
    return AttributeReader<WChar>(text).Read(attributes, text, position, terminator);
}

bool XmlDocument::ParseXmlText(XmlDocumentBlock& document, WStringView text) {
    QAV_TRACE("VT::FXML");
    const WChar* wszXML = text.data();
    QAV_TRACE_VAR("wszXML", wszXML, kTraceWideText);
    return ParseTree(document, text.substr(0, FindXmlUnit(text, 0, u'\0')));
}

bool XmlDocument::ParseXmlBytes(XmlDocumentBlock& document, const char* text, int length) {
    std::string_view bytes(text, static_cast<size_t>(length));
    bytes = bytes.substr(0, FindXmlUnit(bytes, 0, '\0'));
    // The bytes are parsed as they are. A success has decoded or checked every byte, so
    // the text was well-formed and its UTF-16 form would give the same tree. A failure
    // on a well-formed text is the UTF-16 parse's failure too; otherwise the leniently
    // decoded text is parsed afresh, as it may end earlier or read differently, and the
    // declaration flag is left to that parse.
    const uint8_t declarationFlag = document.m_declarationFlag;
    {
        QAV_TRACE("VT::FXML");
        const char* szXML = text;
        QAV_TRACE_VAR("szXML", szXML, kTraceText);
        if (ParseTree(document, bytes)) {
            return true;
        }
        if (IsWellFormedUtf8(bytes)) {
            return false;
        }
    }
    document.m_declarationFlag = declarationFlag;
    WString wide;
    Utf8ToWide(text, length, wide, nullptr);
    return ParseXmlText(document, wide);
}

}  // namespace qav
