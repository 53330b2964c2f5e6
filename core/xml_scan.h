// Searches over UTF-16 text (and the UTF-8 text the parser also reads) for the XML
// parser and writer, and the writer's escapes; the searches go a block at a time
// (core/text_scan.h).
//
// No state: any thread may call these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text_scan.h"
#include "core/wide_text.h"

namespace qav {

// '\0', '"', '&', '\'', '<' and '>': what the writer escapes.
inline bool IsXmlEscaped(WChar c) {
    return c < 64 && IsInScanSet<kXmlEscapedSet>(c);
}

// The escape of a character that IsXmlEscaped, padded so that it can be copied whole.
struct XmlEscapeText {
    char text[8];
    uint8_t length;
};

namespace xml_scan_detail {

constexpr XmlEscapeText EscapeTextOf(WChar c) {
    switch (c) {
        case u'\0':
            return {"&null;", 6};
        case u'"':
            return {"&quot;", 6};
        case u'&':
            return {"&amp;", 5};
        case u'\'':
            return {"&apos;", 6};
        case u'<':
            return {"&lt;", 4};
        case u'>':
            return {"&gt;", 4};
        default:
            return {"", 0};
    }
}

inline constexpr auto kEscapeTexts = [] {
    std::array<XmlEscapeText, 64> table{};
    for (WChar c = 0; c < 64; ++c) {
        table[c] = EscapeTextOf(c);
    }
    return table;
}();

}  // namespace xml_scan_detail

// The escape of `c`, which IsXmlEscaped.
inline const XmlEscapeText& XmlEscapeOf(WChar c) {
    return xml_scan_detail::kEscapeTexts[c & 63];
}

// The index of the first `unit` at or after `from`, or text.size(). The UTF-8 forms
// serve the parse of UTF-8 text, whose markup is ASCII, sixteen bytes at a time.
inline size_t FindXmlUnit(WStringView text, size_t from, WChar unit) {
    return FindEither(text.data(), text.size(), from, unit, unit);
}
inline size_t FindXmlUnit(std::string_view text, size_t from, char unit) {
    return FindEither(text.data(), text.size(), from, unit, unit);
}

// The index of the first `first` or `second` at or after `from`, or text.size().
inline size_t FindEitherXmlUnit(WStringView text, size_t from, WChar first, WChar second) {
    return FindEither(text.data(), text.size(), from, first, second);
}
inline size_t FindEitherXmlUnit(std::string_view text, size_t from, char first, char second) {
    return FindEither(text.data(), text.size(), from, first, second);
}

// The index of the first character that IsXmlEscaped at or after `from`, or text.size().
inline size_t FindXmlEscaped(WStringView text, size_t from) {
    return FindInSet<kXmlEscapedSet>(text.data(), text.size(), from);
}

}  // namespace qav
