#include "core/xml_node.h"

#include <algorithm>
#include <stdexcept>
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

size_t XmlAttributeMap::LowerBoundIndex(WStringView name) const {
    size_t low = 0;
    size_t high = m_pairs.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (WStringView(m_pairs[middle].first) < name) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

size_t XmlAttributeMap::FindIndex(WStringView name) const {
    const size_t index = LowerBoundIndex(name);
    return index < m_pairs.size() && m_pairs[index].first == name ? index : m_pairs.size();
}

const XmlString& XmlAttributeMap::at(WStringView name) const {
    const size_t index = FindIndex(name);
    if (index == m_pairs.size()) {
        throw std::out_of_range("XmlAttributeMap::at");
    }
    return m_pairs[index].second;
}

XmlString& XmlAttributeMap::operator[](WStringView name) {
    const size_t index = LowerBoundIndex(name);
    if (index == m_pairs.size() || m_pairs[index].first != name) {
        const XmlString::allocator_type allocator(get_allocator());
        m_pairs.emplace(m_pairs.begin() + index, XmlString(name, allocator), XmlString(allocator));
    }
    return m_pairs[index].second;
}

void XmlAttributeMap::insert_or_assign(XmlString name, XmlString value) {
    const size_t index = LowerBoundIndex(name);
    if (index < m_pairs.size() && m_pairs[index].first == name) {
        m_pairs[index].second = std::move(value);
    } else {
        m_pairs.emplace(m_pairs.begin() + index, std::move(name), std::move(value));
    }
}

void XmlAttributeMap::SortAndKeepFirst() {
    const auto byName = [](const value_type& left, const value_type& right) {
        return WStringView(left.first) < WStringView(right.first);
    };
    if (std::is_sorted(m_pairs.begin(), m_pairs.end(), byName)) {
        return;
    }
    std::stable_sort(m_pairs.begin(), m_pairs.end(), byName);
    const auto sameName = [](const value_type& left, const value_type& right) {
        return left.first == right.first;
    };
    m_pairs.erase(std::unique(m_pairs.begin(), m_pairs.end(), sameName), m_pairs.end());
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
    // Lists usually come in name order (the writer's), so a name after the last one is
    // appended at once. One out of order is inserted in place while the list is short;
    // in a long one it is appended and the list sorted once at the end, as inserting
    // each in place would make a long reversed list quadratic.
    constexpr size_t kLongestInsertedInPlace = 16;
    bool sorted = true;
    const auto finish = [&](bool ok) {
        if (!sorted) {
            attributes.SortAndKeepFirst();
        }
        return ok;
    };
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
            return finish(true);
        }
        const size_t nameStart = p;
        while (p < text.size() && text[p] != u'=' && !IsXmlWhiteSpace(text[p])) {
            ++p;
        }
        const WStringView name = text.substr(nameStart, p - nameStart);
        if (!skipWhiteSpace() || text[p] != u'=') {
            return finish(false);
        }
        ++p;
        if (!skipWhiteSpace() || (text[p] != u'"' && text[p] != u'\'')) {
            return finish(false);
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
            return finish(false);
        }
        // Once out of order, a name met again is weeded out by the sort at the end, which
        // keeps the earliest.
        auto at = attributes.end();
        if (sorted && !attributes.empty() && WStringView(at[-1].first).compare(name) >= 0) {
            at = attributes.lower_bound(name);
            if (at == attributes.end() || at->first != name) {
                sorted = attributes.size() < kLongestInsertedInPlace;
                if (!sorted) {
                    at = attributes.end();
                }
            }
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
            return finish(false);
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
