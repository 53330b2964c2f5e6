#include "core/xml_node.h"

#include <iterator>
#include <utility>

#include "core/xml_escape.h"
#include "core/xml_scan.h"

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

namespace {

XmlPool* PoolOf(XmlDocumentBlock* document) {
    return document != nullptr ? &document->m_pool : nullptr;
}

}  // namespace

XmlNode::XmlNode(XmlDocumentBlock* document, WStringView name, XmlNode* parent)
    : m_name(name, XmlString::allocator_type(PoolOf(document))),
      m_attributes(XmlAttributeMap::allocator_type(PoolOf(document))),
      m_children(XmlChildList::allocator_type(PoolOf(document))),
      m_text(XmlString::allocator_type(PoolOf(document))),
      m_document(document),
      m_parent(parent) {
    if (parent != nullptr) {
        m_index = parent->m_children.size();
        parent->m_children.push_back(this);
    }
}

XmlNode::~XmlNode() {
    if (m_children.empty()) {
        return;
    }
    // Every node is deleted only after its children were taken away, so no destructor
    // below this one has anything to recurse into.
    std::vector<XmlNode*> pending(m_children.begin(), m_children.end());
    m_children.clear();
    while (!pending.empty()) {
        XmlNode* node = pending.back();
        pending.pop_back();
        pending.insert(pending.end(), node->m_children.begin(), node->m_children.end());
        node->m_children.clear();
        delete node;
    }
}

void* XmlNode::operator new(size_t bytes, XmlDocumentBlock* document) {
    return document != nullptr ? document->m_pool.Allocate(bytes) : ::operator new(bytes);
}

void XmlNode::operator delete(void* block, XmlDocumentBlock* document) {
    if (document != nullptr) {
        document->m_pool.Free(block, sizeof(XmlNode));
    } else {
        ::operator delete(block);
    }
}

void XmlNode::operator delete(XmlNode* node, std::destroying_delete_t) {
    XmlDocumentBlock* document = node->m_document;
    node->~XmlNode();
    operator delete(static_cast<void*>(node), document);
}

void DestroyXmlTree(XmlNode* root) {
    delete root;
}

XmlNode* XmlNode::Create(XmlDocumentBlock* document, WStringView name, const WChar* namespaceUri,
                         XmlNode* parent) {
    XmlNode* node = new (document) XmlNode(document, name, parent);
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
            uri.assign(found->second);
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
    node->m_attributes.insert_or_assign(node->NewString(NamespaceAttributeName(prefix)),
                                        node->NewString(uri));
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
        // Most values hold no reference: one search finds both the end and that.
        size_t valueEnd = FindEitherXmlUnit(text, valueStart, quote, u'&');
        const bool hasReference = valueEnd < text.size() && text[valueEnd] == u'&';
        if (hasReference) {
            valueEnd = FindXmlUnit(text, valueEnd + 1, quote);
        }
        if (valueEnd == text.size()) {
            return false;
        }
        // Lists usually come in name order (the writer's), so the end is tried first.
        auto at = attributes.end();
        if (!attributes.empty() && WStringView(std::prev(at)->first).compare(name) >= 0) {
            at = attributes.lower_bound(name);
        }
        if (at == attributes.end() || at->first != name) {
            const XmlString::allocator_type allocator(attributes.get_allocator());
            const WStringView run = text.substr(valueStart, valueEnd - valueStart);
            XmlString value(allocator);
            if (hasReference) {
                XmlAppendDecoded(run, value);
            } else {
                value.assign(run);
            }
            attributes.emplace_hint(at, XmlString(name, allocator), std::move(value));
        }
        p = valueEnd + 1;
        if (!skipWhiteSpace()) {
            return false;
        }
    }
}

namespace {

bool IsNamespaceDeclaration(WStringView name) {
    return name == u"xmlns" || (name.size() >= 7 && name.starts_with(u"xmlns:"));
}

void WriteOneAttribute(WStringView name, WStringView value, WString& out) {
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
