// What the fuzz targets would otherwise each repeat: the check that ends a run on a broken
// invariant, the cursor their own input readers build on, and the walk over an XML input
// and the round trip through the wire text that the records' targets share. One thread per target
// run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/xml_document.h"

namespace qav::fuzz {

// Aborts, so the fuzzer keeps the input that broke the invariant as a crash.
inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The input byte by byte; past its end every byte is 0, so a short input still runs to the
// end of its operations. Targets derive from it to add the readers only they need.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }

  protected:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// Loads the input as an XML document and hands its root, then each of the root's children,
// to `checkElement(XmlElement)`: every record's reader gets every element of the first two
// levels. An input that is no document, or over 1 MiB, is passed over.
template <typename CheckElement>
int CheckXmlElements(const uint8_t* data, size_t size, CheckElement checkElement) {
    if (size > (1u << 20)) {
        return 0;
    }
    XmlDocument document;
    const XmlElement root =
        document.LoadFromText(reinterpret_cast<const char*>(data), static_cast<int>(size));
    if (!root.IsValid()) {
        return 0;
    }
    checkElement(root);
    for (XmlElement child = root.FirstChild(); child.IsValid(); child = child.NextSibling()) {
        checkElement(child);
    }
    return 0;
}

// `record` written by its WriteXml under the root of a fresh document, then read by its
// ReadXml from the element it wrote into `again`. False, with `again` untouched, when
// WriteXml appended nothing.
template <typename Record>
bool ReadBackWritten(Record& record, Record& again) {
    XmlDocument document;
    const XmlElement root = document.CreateRoot(u"Root", nullptr);
    record.WriteXml(root);
    if (!root.FirstChild().IsValid()) {
        return false;
    }
    again.ReadXml(root.FirstChild());
    return true;
}

// `write(root)` under the root of a fresh document, then the document saved as text and
// parsed again, so that what the writer escapes must come back as it was; `read(root)`
// gets the parsed root. Aborts when the text does not parse.
template <typename Write, typename Read>
void ThroughText(Write write, Read read) {
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"Root", nullptr);
    write(root);
    std::string text;
    document.SaveToString(text);
    root = document.LoadFromText(text.data(), static_cast<int>(text.size()));
    Check(root.IsValid());
    read(root);
}

// `record` written by its WriteXml through the wire text as above, and read by `again`'s
// ReadXml from the element it wrote. False, with `again` untouched, when WriteXml wrote
// nothing.
template <typename Record>
bool ReadBackThroughText(Record& record, Record& again) {
    bool written = false;
    ThroughText([&](XmlElement root) { record.WriteXml(root); },
                [&](XmlElement root) {
                    written = root.FirstChild().IsValid();
                    if (written) {
                        again.ReadXml(root.FirstChild());
                    }
                });
    return written;
}

}  // namespace qav::fuzz
