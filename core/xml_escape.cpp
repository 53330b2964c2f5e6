#include "core/xml_escape.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "core/text_utils.h"
#include "core/xml_scan.h"

namespace qav {
namespace {

struct NamedEntity {
    WStringView name;  // after the '&', with the ';'
    WChar value;
};

constexpr NamedEntity kNamedEntities[] = {
    {u"gt;", u'>'},   {u"lt;", u'<'},    {u"amp;", u'&'},
    {u"quot;", u'"'}, {u"apos;", u'\''}, {u"null;", u'\0'},
};

// The escape of a character, or null when it is copied.
template <typename Char>
const Char* EscapeOf(Char c) {
    if constexpr (sizeof(Char) == 1) {
        switch (c) {
            case '\0':
                return "&null;";
            case '"':
                return "&quot;";
            case '&':
                return "&amp;";
            case '\'':
                return "&apos;";
            case '<':
                return "&lt;";
            case '>':
                return "&gt;";
            default:
                return nullptr;
        }
    } else {
        switch (c) {
            case u'\0':
                return u"&null;";
            case u'"':
                return u"&quot;";
            case u'&':
                return u"&amp;";
            case u'\'':
                return u"&apos;";
            case u'<':
                return u"&lt;";
            case u'>':
                return u"&gt;";
            default:
                return nullptr;
        }
    }
}

void AppendEscapedTo(std::string_view text, std::string& out) {
    for (const char c : text) {
        if (const char* escape = EscapeOf(c)) {
            out.append(escape);
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
        out.append(EscapeOf(text[i]));
        copied = i + 1;
    }
    out.append(text.data() + copied, text.size() - copied);
}

uint32_t ReadDecimal(WStringView digits) {
    uint32_t value = 0;
    for (const WChar c : digits) {
        if (c < u'0' || c > u'9') {
            break;
        }
        const uint32_t digit = c - u'0';
        if (value > (UINT32_MAX - digit) / 10) {
            return UINT32_MAX;  // saturates rather than wrapping round to a small value
        }
        value = value * 10 + digit;
    }
    return value;
}

template <typename String>
void AppendCodePoint(uint32_t value, String& out) {
    if (value >= 0x10000 && value <= 0x10FFFF) {
        value -= 0x10000;
        out.push_back(static_cast<WChar>(0xD800 + (value >> 10)));
        out.push_back(static_cast<WChar>(0xDC00 + (value & 0x3FF)));
    } else {
        out.push_back(static_cast<WChar>(value & 0xFFFF));
    }
}

// `semicolon` is the first ';' after run[position + 1], or npos.
template <typename String>
size_t DecodeEntityAt(WStringView run, size_t position, size_t semicolon, String& out) {
    const WStringView after = run.substr(position + 1);
    if (after.empty()) {
        out.push_back(u'&');
        return 1;
    }
    // No name starts with '#'; only names that start like the text are compared.
    if (after[0] != u'#') {
        for (const NamedEntity& entity : kNamedEntities) {
            if (entity.name[0] == after[0] && after.starts_with(entity.name)) {
                out.push_back(entity.value);
                return entity.name.size() + 1;
            }
        }
        out.push_back(u'&');
        return 1;
    }
    if (semicolon == WStringView::npos) {
        out.push_back(u'&');
        return 1;
    }
    const WStringView body = run.substr(position + 2, semicolon - position - 2);
    uint32_t value = 0;
    if (!body.empty() && (body[0] == u'x' || body[0] == u'X')) {
        const size_t count = std::min<size_t>(body.size() - 1, INT_MAX);
        value = HexTextToUInt(body.data() + 1, static_cast<int>(count));
    } else {
        value = ReadDecimal(body);
    }
    AppendCodePoint(value, out);
    return semicolon - position + 1;
}

template <typename String>
void AppendDecodedTo(WStringView run, String& out) {
    // Nothing decodes to more units than it takes, so a new string is allocated once.
    if (out.empty()) {
        out.reserve(run.size());
    }
    size_t position = 0;
    // The last answer to "first ';' at or after some start": it stays right for every
    // later '&' whose digits begin at or before it, so each character is searched once.
    size_t semicolon = 0;
    bool searched = false;
    while (position < run.size()) {
        const size_t ampersand = FindXmlUnit(run, position, u'&');
        if (ampersand == run.size()) {
            out.append(run.substr(position));
            break;
        }
        out.append(run.substr(position, ampersand - position));
        const size_t digitsStart = ampersand + 2;
        if (!searched || (semicolon != WStringView::npos && semicolon < digitsStart)) {
            semicolon = WStringView::npos;
            if (digitsStart <= run.size()) {
                if (const size_t found = FindXmlUnit(run, digitsStart, u';'); found < run.size()) {
                    semicolon = found;
                }
            }
            searched = true;
        }
        position = ampersand + DecodeEntityAt(run, ampersand, semicolon, out);
    }
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
        length += std::char_traits<WChar>::length(EscapeOf(text[i])) - 1;
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
    AppendDecodedTo(run, out);
}

void XmlAppendDecoded(WStringView run, XmlString& out) {
    AppendDecodedTo(run, out);
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
