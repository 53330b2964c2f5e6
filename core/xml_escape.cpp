#include "core/xml_escape.h"

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "core/text_scan.h"
#include "core/text_utils.h"
#include "core/xml_scan.h"
#include "core/xml_utf8.h"

namespace qav {
namespace {

// Runs are decoded from UTF-16 and, for the parser, from UTF-8; references are ASCII
// in both.
template <typename Char>
using TextView = std::basic_string_view<Char>;

struct NamedEntity {
    std::string_view name;  // after the '&', with the ';'
    WChar value;
};

constexpr NamedEntity kNamedEntities[] = {
    {"gt;", u'>'},   {"lt;", u'<'},    {"amp;", u'&'},
    {"quot;", u'"'}, {"apos;", u'\''}, {"null;", u'\0'},
};

template <typename Char>
bool StartsWithAscii(TextView<Char> text, std::string_view ascii) {
    if (text.size() < ascii.size()) {
        return false;
    }
    for (size_t i = 0; i < ascii.size(); ++i) {
        if (text[i] != static_cast<Char>(ascii[i])) {
            return false;
        }
    }
    return true;
}

// Takes the units of one reference.
class UnitWriter {
  public:
    explicit UnitWriter(WChar* out) : m_start(out), m_at(out) {}

    void push_back(WChar unit) { *m_at++ = unit; }
    size_t size() const { return static_cast<size_t>(m_at - m_start); }

  private:
    WChar* m_start;
    WChar* m_at;
};

void AppendEscapedTo(std::string_view text, std::string& out) {
    for (const char c : text) {
        if (IsXmlEscaped(static_cast<unsigned char>(c))) {
            const XmlEscapeText& escape = XmlEscapeOf(static_cast<unsigned char>(c));
            out.append(escape.text, escape.length);
        } else {
            out.push_back(c);
        }
    }
}

// The runs between escaped characters go out whole.
void AppendEscapedTo(WStringView text, WString& out) {
    size_t copied = 0;
    for (size_t i = FindXmlEscaped(text, 0); i < text.size(); i = FindXmlEscaped(text, i + 1)) {
        out.append(text.data() + copied, i - copied);
        const XmlEscapeText& escape = XmlEscapeOf(text[i]);
        out.append(escape.text, escape.text + escape.length);
        copied = i + 1;
    }
    out.append(text.data() + copied, text.size() - copied);
}

// What a character reference's digits name, read by the one digit reader: decimal digits
// up to the first other character; hexadecimal digits up to a NUL, where any other
// character names nothing. Neither wraps: digits beyond 32 bits, like no digits at all,
// name nothing, which AppendCodePoint writes as U+FFFD; the low bits of such a number
// could name any character, a NUL or markup among them.
template <typename Char>
uint32_t ReadCharacterReference(TextView<Char> body) {
    constexpr uint32_t kNoCharacter = UINT32_MAX;
    DigitsRead read;
    if (!body.empty() && (body[0] == 'x' || body[0] == 'X')) {
        TextView<Char> digits = body.substr(1);
        digits = digits.substr(0, digits.find(Char(0)));
        read = ReadDigits(digits, 16);
        if (read.count != digits.size()) {
            return kNoCharacter;
        }
    } else {
        read = ReadDigits(body, 10);
    }
    return read.count == 0 || read.value > UINT32_MAX ? kNoCharacter
                                                      : static_cast<uint32_t>(read.value);
}

// A reference beyond U+10FFFF names no character. Nor does one to a surrogate: alone it
// could not be written as UTF-8 that reads back.
template <typename String>
void AppendCodePoint(uint32_t value, String& out) {
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        out.push_back(kReplacementCharacter);
    } else if (value >= 0x10000) {
        value -= 0x10000;
        out.push_back(static_cast<WChar>(0xD800 + (value >> 10)));
        out.push_back(static_cast<WChar>(0xDC00 + (value & 0x3FF)));
    } else {
        out.push_back(static_cast<WChar>(value));
    }
}

// `semicolon` is the first ';' after run[position + 1], or npos.
template <typename Char, typename String>
size_t DecodeEntityAt(TextView<Char> run, size_t position, size_t semicolon, String& out) {
    const TextView<Char> after = run.substr(position + 1);
    if (after.empty()) {
        out.push_back(u'&');
        return 1;
    }
    // No name starts with '#'; only names that start like the text are compared.
    if (after[0] != '#') {
        for (const NamedEntity& entity : kNamedEntities) {
            if (after[0] == static_cast<Char>(entity.name[0]) &&
                StartsWithAscii(after, entity.name)) {
                out.push_back(entity.value);
                return entity.name.size() + 1;
            }
        }
        out.push_back(u'&');
        return 1;
    }
    if (semicolon == TextView<Char>::npos) {
        out.push_back(u'&');
        return 1;
    }
    const TextView<Char> body = run.substr(position + 2, semicolon - position - 2);
    AppendCodePoint(ReadCharacterReference(body), out);
    return semicolon - position + 1;
}

// Decodes a run into `out`, which has room for run.size() units, and returns the units
// written (npos for UTF-8 that is not well-formed). Plain characters are copied a block
// at a time while the block is searched for a '&' (and, in UTF-8, for a multi-byte
// sequence to decode): a run costs a few instructions per block and a call only per
// reference. Linear: the ';' that ends a character reference is looked for once per
// stretch of the run, not once per '&'.
template <typename Char>
size_t DecodeRunInto(TextView<Char> run, WChar* out) {
    const Char* in = run.data();
    const size_t size = run.size();
    WChar* o = out;  // never ahead of the input, so a whole block always fits
    size_t i = 0;
    // The last answer to "first ';' at or after some start": it stays right for every
    // later '&' whose digits begin at or before it, so each character is searched once.
    size_t semicolon = 0;
    bool searched = false;
    while (i < size) {
        if (size - i >= kScanLanes<Char>) {
            unsigned flagged = 0;
            if constexpr (sizeof(Char) == 1) {
                WidenBlock(in + i, o);
                flagged = MatchLanes<ScanSetOf(0, true, '&')>(in + i);
            } else {
                std::char_traits<WChar>::copy(o, in + i, kScanLanes<Char>);
                flagged = MatchLanes<ScanSetOf(0, false, '&')>(in + i);
            }
            if (flagged == 0) {
                i += kScanLanes<Char>;
                o += kScanLanes<Char>;
                continue;
            }
            const size_t plain = FirstLane(flagged);
            i += plain;
            o += plain;
        }
        const auto c = static_cast<std::make_unsigned_t<Char>>(in[i]);
        if constexpr (sizeof(Char) == 1) {
            if (c >= 0x80) {
                // A word in another script is a row of sequences: decoded in one go.
                const auto* bytes = reinterpret_cast<const unsigned char*>(in);
                do {
                    if (const size_t common = DecodeCommonSequence(bytes + i, size - i, *o);
                        common != 0) {
                        ++o;
                        i += common;
                        continue;
                    }
                    const size_t length = WellFormedSequenceLength(bytes + i, size - i);
                    if (length == 0) {
                        return TextView<Char>::npos;
                    }
                    DecodeWellFormedSequence(bytes + i, length, o);
                    i += length;
                } while (i < size && bytes[i] >= 0x80);
                continue;
            }
        }
        if (c != '&') {
            *o++ = c;
            ++i;
            continue;
        }
        const size_t digitsStart = i + 2;
        if (digitsStart <= size && in[i + 1] == '#' &&
            (!searched || (semicolon != TextView<Char>::npos && semicolon < digitsStart))) {
            semicolon = FindXmlUnit(run, digitsStart, Char(';'));
            if (semicolon == size) {
                semicolon = TextView<Char>::npos;
            }
            searched = true;
        }
        UnitWriter writer(o);
        const size_t taken = DecodeEntityAt(run, i, semicolon, writer);
        if constexpr (sizeof(Char) == 1) {
            // A character reference's digits run to the ';' and may hold any bytes.
            if (taken > 2 && !IsWellFormedUtf8(run.substr(i, taken))) {
                return TextView<Char>::npos;
            }
        }
        i += taken;
        o += writer.size();
    }
    return static_cast<size_t>(o - out);
}

}  // namespace

bool XmlNeedsEscape(WStringView text) {
    return FindXmlEscaped(text, 0) != text.size();
}

void XmlEscapeW(WStringView text, WString& out) {
    out.clear();
    out.reserve(XmlEscapedLength(text));
    AppendEscapedTo(text, out);
}

void XmlEscape(std::string_view text, std::string& out) {
    out.clear();
    AppendEscapedTo(text, out);
}

void XmlAppendEscaped(WStringView text, WString& out) {
    AppendEscapedTo(text, out);
}

size_t XmlEscapedLength(WStringView text) {
    size_t length = text.size();
    for (size_t i = FindXmlEscaped(text, 0); i < text.size(); i = FindXmlEscaped(text, i + 1)) {
        length += XmlEscapeOf(text[i]).length - 1u;
    }
    return length;
}

size_t XmlDecodeEntity(WStringView run, size_t position, WString& out) {
    if (position >= run.size()) {
        return 0;
    }
    if (run[position] != u'&') {
        out.push_back(run[position]);
        return 1;
    }
    const size_t semicolon =
        position + 2 <= run.size() ? run.find(u';', position + 2) : WStringView::npos;
    return DecodeEntityAt(run, position, semicolon, out);
}

void XmlAppendDecoded(WStringView run, WString& out) {
    // Decoded in place into room for the whole run, then cut to what it took.
    const size_t start = out.size();
    out.resize(start + run.size());
    out.resize(start + DecodeRunInto(run, out.data() + start));
}

size_t XmlDecodeRun(WStringView run, WChar* out) {
    return DecodeRunInto(run, out);
}

size_t XmlDecodeRun(std::string_view run, WChar* out) {
    return DecodeRunInto(run, out);
}

void XmlDecodeEntities(WString& text) {
    if (text.find(u'&') == WString::npos) {
        return;
    }
    WString decoded;
    decoded.reserve(text.size());
    XmlAppendDecoded(text, decoded);
    text.swap(decoded);
}

}  // namespace qav
