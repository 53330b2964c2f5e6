// XmlDocument: a reference-counted handle to one XML document block, and the parser,
// writer and file reader and writer of the document tree.
//
// The wire form the writer produces is one line: no white space between tags,
// attributes in code-unit order of their names, the five standard escapes and "&null;"
// for NUL, "/>" only for an element with neither children nor text, and the XML
// declaration only for a document parsed from text that had one. Files are UTF-8 with
// a byte-order mark.
//
// Typical usage:
//   XmlDocument document;
//   if (XmlElement root = document.LoadFromText(bytes.data(), length); root.IsValid()) {...}
//   document.SaveToString(text);
//
// A document is used by one thread at a time; copies of a handle may be made and
// dropped on any thread (the count is atomic). Parsing, writing, measuring and
// destroying never recurse, so depth is bounded only by memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/wide_text.h"
#include "core/xml_element.h"
#include "core/xml_node.h"

namespace qav {

class XmlDocument {
  public:
    // A new empty document block.
    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument& other);
    XmlDocument& operator=(const XmlDocument& other);

    XmlDocumentBlock* GetBlock() const { return m_block; }

    // Each returns the root on success, else a null element with the previous tree kept. The
    // bytes are UTF-8, parsed up to the first NUL; an invalid sequence reads as U+FFFD and
    // parsing goes on after it.
    XmlElement LoadFromText(const char* text, int length);
    XmlElement LoadFromTextW(const WChar* text);
    XmlElement LoadFromFile(WStringView path);

    // True when the byte-order mark and the whole text reached the file.
    bool SaveToFile(WStringView path);
    // The document's text as UTF-8; empty for an empty document.
    void SaveToString(std::string& out);

    // Destroys any tree and creates a new root (declaring the prefix of a non-empty URI).
    XmlElement CreateRoot(WStringView name, const WChar* namespaceUri);

    // Parses the text up to its first NUL. On success the old tree is replaced; on
    // failure it stays (a processing instruction met before the failure has set the
    // declaration flag all the same).
    static bool ParseXmlText(XmlDocumentBlock& document, WStringView text);

    // False (out untouched) for an empty document; else `out` holds the text.
    static bool ToXmlText(const XmlDocumentBlock& document, WString& out);

    // Exactly the length ToXmlText produces.
    static size_t GetXmlTextLength(const XmlDocumentBlock& document);

    // The file's text with NULs turned into spaces, parsed. Failures are logged.
    static bool ReadXmlFile(XmlDocumentBlock& document, WStringView path);

    // Written whole to a temporary file beside the target, which is then replaced.
    static bool WriteXmlFile(const XmlDocumentBlock& document, WStringView path);

  private:
    // LoadFromText's parse, with the outcome of decoding the text to UTF-16 and parsing
    // that, but reading well-formed UTF-8 as it is.
    static bool ParseXmlBytes(XmlDocumentBlock& document, const char* text, int length);

    XmlDocumentBlock* m_block;
};

}  // namespace qav
