#include "core/xml_node.h"

#include <utility>

#include "core/xml_escape.h"

namespace qav {

XmlDocumentBlock::~XmlDocumentBlock() {
    DestroyXmlTree(m_root);
}

void XmlDocumentBlock::ReplaceRoot(XmlNode* root) {
    if (root == m_root) {
        return;
    }
    XmlNode* old = m_root;
    m_root = root;
    DestroyXmlTree(old);
}

void XmlDocumentBlock::Release() {
    if (m_referenceCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

XmlNode::XmlNode(XmlDocumentBlock* document, WString name, XmlNode* parent)
    : m_name(std::move(name)), m_document(document), m_parent(parent) {
    if (parent != nullptr) {
        m_index = parent->m_children.size();
        parent->m_children.push_back(this);
    }
}

XmlNode::~XmlNode() {
    // Every node is deleted only after its children were taken away, so no destructor
    // below this one has anything to recurse into.
    std::vector<XmlNode*> pending;
    pending.swap(m_children);
    while (!pending.empty()) {
        XmlNode* node = pending.back();
        pending.pop_back();
        pending.insert(pending.end(), node->m_children.begin(), node->m_children.end());
        node->m_children.clear();
        delete node;
    }
}

void DestroyXmlTree(XmlNode* root) {
    delete root;
}

XmlNode* XmlNode::Create(XmlDocumentBlock* document, WStringView name, const WChar* namespaceUri,
                         XmlNode* parent) {
    XmlNode* node = new XmlNode(document, WString(name), parent);
    if (parent == nullptr && document != nullptr) {
        document->ReplaceRoot(node);
    }
    if (namespaceUri != nullptr && namespaceUri[0] != 0) {
        const size_t colon = name.find(u':');
        const WStringView prefix =
            colon == WStringView::npos ? WStringView() : name.substr(0, colon);
        DeclareNamespace(node, prefix, namespaceUri);
    }
    return node;
}

WString XmlNode::NamespaceAttributeName(WStringView prefix) {
    if (prefix.empty()) {
        return u"xmlns";
    }
    if (prefix.back() == u':') {
        prefix.remove_suffix(1);
    }
    WString name(u"xmlns:");
    name.append(prefix);
    return name;
}

bool XmlNode::LookupNamespace(const XmlNode* node, WStringView prefix, WString& uri) {
    const WString attribute = NamespaceAttributeName(prefix);
    for (; node != nullptr; node = node->m_parent) {
        const auto found = node->m_attributes.find(attribute);
        if (found != node->m_attributes.end()) {
            uri = found->second;
            return true;
        }
    }
    uri.clear();
    return false;
}

void XmlNode::DeclareNamespace(XmlNode* node, WStringView prefix, WStringView uri) {
    WString current;
    if (LookupNamespace(node, prefix, current) && current == uri) {
        return;
    }
    node->m_attributes.insert_or_assign(NamespaceAttributeName(prefix), WString(uri));
}

bool XmlNode::ResolveName(const XmlNode* node, WString& localName, WString& uri) {
    const WStringView name = node->m_name;
    const size_t colon = name.find(u':');
    WStringView prefix;
    if (colon == WStringView::npos) {
        localName.assign(name);
    } else {
        prefix = name.substr(0, colon);
        localName.assign(name.substr(colon + 1));
    }
    return LookupNamespace(node, prefix, uri);
}

bool XmlNode::ParseAttributes(XmlAttributeMap& attributes, WStringView text, size_t& position,
                              WChar terminator) {
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
        const WChar c = text[p];
        if (c == u'/' || c == u'>' || (terminator != 0 && c == terminator)) {
            position = p;
            return true;
        }
        const size_t nameStart = p;
        while (p < text.size() && text[p] != u'=' && !IsXmlWhiteSpace(text[p])) {
            ++p;
        }
        const WStringView name = text.substr(nameStart, p - nameStart);
        if (!skipWhiteSpace() || text[p] != u'=') {
            return false;
        }
        ++p;
        if (!skipWhiteSpace() || (text[p] != u'"' && text[p] != u'\'')) {
            return false;
        }
        const WChar quote = text[p];
        const size_t valueStart = p + 1;
        const size_t valueEnd = text.find(quote, valueStart);
        if (valueEnd == WStringView::npos) {
            return false;
        }
        if (attributes.find(name) == attributes.end()) {
            WString value;
            XmlAppendDecoded(text.substr(valueStart, valueEnd - valueStart), value);
            attributes.emplace(WString(name), std::move(value));
        }
        p = valueEnd + 1;
        if (!skipWhiteSpace()) {
            return false;
        }
    }
}

namespace {

bool IsNamespaceDeclaration(const WString& name) {
    return name == u"xmlns" || (name.size() >= 7 && name.starts_with(u"xmlns:"));
}

void WriteOneAttribute(const WString& name, const WString& value, WString& out) {
    out.push_back(u' ');
    out.append(name);
    out.append(u"=\"");
    XmlAppendEscaped(value, out);
    out.push_back(u'"');
}

}  // namespace

void XmlNode::WriteAttributes(const XmlAttributeMap& attributes, WString& out) {
    for (const auto& [name, value] : attributes) {
        WriteOneAttribute(name, value, out);
    }
}

void XmlNode::WriteAttributesNoNamespaces(const XmlAttributeMap& attributes, WString& out) {
    for (const auto& [name, value] : attributes) {
        if (!IsNamespaceDeclaration(name)) {
            WriteOneAttribute(name, value, out);
        }
    }
}

}  // namespace qav
