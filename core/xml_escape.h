// Escaping and entity decoding of XML character data and attribute values. Used by the
// XML parser and writer, and on their own by the history files and the web pages.
//
// No state: any thread may call these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/wide_text.h"

namespace qav {

// True when the text holds a NUL, '"', '&', '\'', '<' or '>'.
bool XmlNeedsEscape(WStringView text);

// Replace `out` by the text with NUL as "&null;" and the five standard escapes; every
// other character is copied. NULs inside the text's length are escaped like the rest.
void XmlEscapeW(WStringView text, WString& out);
void XmlEscape(std::string_view text, std::string& out);

// The length XmlEscapeW gives.
size_t XmlEscapedLength(WStringView text);

// Appends the escaped text to `out`.
void XmlAppendEscaped(WStringView text, WString& out);

// Decodes the references of one run of character data or one attribute value in place.
void XmlDecodeEntities(WString& text);

// Appends the decoded `run` to `out`. Linear in the run's length: the ';' that ends a
// character reference is looked for once per stretch of the run, not once per '&'.
void XmlAppendDecoded(WStringView run, WString& out);

// Decodes the references of one run into `out`, which has room for run.size() units
// (nothing decodes to more units than it takes), and returns the units written; the rest
// of the room may be overwritten. The UTF-8 form decodes the run's characters on the way
// and returns npos when they are not well-formed (see xml_utf8.h).
size_t XmlDecodeRun(WStringView run, WChar* out);
size_t XmlDecodeRun(std::string_view run, WChar* out);

// Decodes what the '&' at run[position] starts: appends one character (two for a
// character reference above U+FFFF) to `out` and returns the characters consumed, at
// least 1 (a '&' that starts nothing known stays a literal '&').
size_t XmlDecodeEntity(WStringView run, size_t position, WString& out);

}  // namespace qav
