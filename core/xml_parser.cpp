// The parser of XmlDocument: one pass, no recursion; the open element is followed up
// through parent pointers.
#include <memory>

#include "core/trace_frame.h"
#include "core/xml_document.h"
#include "core/xml_escape.h"
#include "core/xml_scan.h"

namespace qav {
namespace {

bool IsTagNameEnd(WChar c) {
    return c == u'/' || c == u'>' || IsXmlWhiteSpace(c);
}

class TreeParser {
  public:
    TreeParser(XmlDocumentBlock& document, WStringView text) : m_document(document), m_text(text) {}

    // The new root, or null when the text is not a document.
    std::unique_ptr<XmlNode> Parse() {
        for (;;) {
            while (m_position < m_text.size() && IsXmlWhiteSpace(m_text[m_position])) {
                ++m_position;
            }
            if (m_position == m_text.size()) {
                break;
            }
            const bool ok = m_text[m_position] == u'<' ? ParseTag() : ParseCharacterData();
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
        const bool closing = afterBracket < m_text.size() && m_text[afterBracket] == u'/';
        const size_t nameStart = closing ? afterBracket + 1 : afterBracket;
        size_t nameEnd = nameStart;
        while (nameEnd < m_text.size() && !IsTagNameEnd(m_text[nameEnd])) {
            ++nameEnd;
        }
        if (nameEnd >= m_text.size() || nameEnd == nameStart) {
            return false;
        }
        const WStringView name = m_text.substr(nameStart, nameEnd - nameStart);
        if (closing) {
            return CloseElement(name, nameEnd);
        }
        if (name[0] == u'?') {
            return SkipProcessingInstruction(nameEnd);
        }
        return OpenElement(name, nameEnd);
    }

    bool SkipProcessingInstruction(size_t position) {
        XmlAttributeMap scratch;
        const bool listOk = XmlNode::ParseAttributes(scratch, m_text, position, u'?');
        m_document.m_declarationFlag = 1;
        if (!listOk || m_text.substr(position, 2) != u"?>") {
            return false;
        }
        m_position = position + 2;
        return true;
    }

    bool CloseElement(WStringView name, size_t nameEnd) {
        if (m_open == nullptr || m_text[nameEnd] != u'>' || name != m_open->m_name) {
            return false;
        }
        m_open = m_open->m_parent;
        m_position = nameEnd + 1;
        return true;
    }

    bool OpenElement(WStringView name, size_t nameEnd) {
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
        if (!XmlNode::ParseAttributes(node->m_attributes, m_text, position, 0)) {
            return false;
        }
        if (m_text[position] == u'>') {
            m_position = position + 1;
            return true;
        }
        if (m_text[position] == u'/' && position + 1 < m_text.size() &&
            m_text[position + 1] == u'>') {
            m_open = node->m_parent;
            m_position = position + 2;
            return true;
        }
        return false;
    }

    bool ParseCharacterData() {
        const size_t end = FindXmlUnit(m_text, m_position, u'<');
        if (m_open == nullptr || end == m_text.size()) {
            return false;
        }
        XmlAppendDecoded(m_text.substr(m_position, end - m_position), m_open->m_text);
        m_position = end;
        return true;
    }

    XmlDocumentBlock& m_document;
    const WStringView m_text;
    size_t m_position = 0;
    std::unique_ptr<XmlNode> m_root;  // the whole partial tree goes with it on failure
    XmlNode* m_open = nullptr;
};

}  // namespace

bool XmlDocument::ParseXmlText(XmlDocumentBlock& document, WStringView text) {
    QAV_TRACE("VT::FXML");
    const WChar* wszXML = text.data();
    QAV_TRACE_VAR("wszXML", wszXML, kTraceWideText);
    text = text.substr(0, FindXmlUnit(text, 0, u'\0'));
    std::unique_ptr<XmlNode> root = TreeParser(document, text).Parse();
    if (root == nullptr) {
        return false;
    }
    document.ReplaceRoot(root.release());
    return true;
}

}  // namespace qav
