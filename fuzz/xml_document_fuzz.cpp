// Feeds arbitrary bytes to the XML parser and the attribute-list reader and checks what
// must hold for any input: the bytes parse as their UTF-16 form does, the written length
// is counted exactly, writing what was parsed is a fixed point, a failed parse keeps the
// old tree, and entity decoding of a whole run agrees with decoding one reference at a
// time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/text_utils.h"
#include "core/xml_document.h"
#include "core/xml_escape.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::fuzz::Check;

qav::WString WriteChecked(const qav::XmlDocumentBlock& block) {
    qav::WString text;
    Check(qav::XmlDocument::ToXmlText(block, text));
    Check(qav::XmlDocument::GetXmlTextLength(block) == text.size());
    return text;
}

void CheckDocument(const char* bytes, int length) {
    qav::XmlDocument document;
    Check(document.LoadFromTextW(u"<keep a='1'>kept<b/></keep>") != nullptr);
    qav::XmlNode* before = document.GetBlock()->m_root;
    const qav::WString beforeText = WriteChecked(*document.GetBlock());

    const bool parsed = document.LoadFromText(bytes, length) != nullptr;
    // UTF-8 read as it is gives what parsing its leniently decoded UTF-16 form gives.
    qav::XmlDocument decoded;
    Check(decoded.LoadFromTextW(u"<keep a='1'>kept<b/></keep>") != nullptr);
    qav::WString wide;
    qav::Utf8ToWide(bytes, length, wide, nullptr);
    Check(qav::XmlDocument::ParseXmlText(*decoded.GetBlock(), wide) == parsed);
    Check(WriteChecked(*decoded.GetBlock()) == WriteChecked(*document.GetBlock()));
    if (!parsed) {
        Check(document.GetBlock()->m_root == before);
        document.GetBlock()->m_declarationFlag = 0;  // a processing instruction may set it
        Check(WriteChecked(*document.GetBlock()) == beforeText);
        return;
    }
    const qav::WString first = WriteChecked(*document.GetBlock());
    qav::XmlDocument again;
    Check(again.LoadFromTextW(first.c_str()) != nullptr);
    Check(WriteChecked(*again.GetBlock()) == first);
}

void CheckAttributes(const qav::WString& text) {
    const qav::WChar terminator = text.empty() ? 0 : text[0];
    qav::XmlAttributeMap attributes;
    size_t position = 1;
    if (!qav::XmlNode::ParseAttributes(attributes, text, position, terminator)) {
        return;
    }
    Check(position < text.size());
    qav::WString written;
    qav::XmlNode::WriteAttributes(attributes, written);
    written.push_back(u'>');
    qav::XmlAttributeMap reread;
    position = 0;
    Check(qav::XmlNode::ParseAttributes(reread, written, position, terminator));
    Check(position == written.size() - 1 && reread == attributes);
}

void CheckDecoding(const qav::WString& run) {
    qav::WString whole;
    qav::XmlAppendDecoded(run, whole);
    qav::WString stepwise;
    for (size_t position = 0; position < run.size();) {
        position += qav::XmlDecodeEntity(run, position, stepwise);
    }
    Check(whole == stepwise);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const char* bytes = reinterpret_cast<const char*>(data);
    CheckDocument(bytes, static_cast<int>(size));
    qav::WString wide;
    qav::Utf8ToWide(bytes, static_cast<int>(size), wide, nullptr);
    CheckAttributes(wide);
    if (wide.size() <= 4096) {
        CheckDecoding(wide);  // the stepwise reference is quadratic
    }
    return 0;
}
