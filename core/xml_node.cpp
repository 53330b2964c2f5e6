#include "core/xml_node.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "core/xml_escape.h"

namespace qav {

// The tree's memory goes with the pool's chunks; see the file comment of xml_node.h.
XmlDocumentBlock::~XmlDocumentBlock() = default;

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
        emplace_hint(begin() + index, std::move(name), std::move(value));
    }
}

void XmlAttributeMap::emplace_hint(const_iterator at, XmlString name, XmlString value) {
    // Strings of another pool or of the heap are copied into the map's own, so that no
    // block of a pooled tree lies outside its pool; strings of the same pool are moved.
    const XmlString::allocator_type allocator(get_allocator());
    m_pairs.emplace(m_pairs.begin() + (at - begin()), std::piecewise_construct,
                    std::forward_as_tuple(std::move(name), allocator),
                    std::forward_as_tuple(std::move(value), allocator));
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

static_assert(alignof(XmlNode) <= XmlPool::kGranule);

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
    if (parent != nullptr) {
        document = parent->m_document;  // a node of another pool would outlive its memory
    }
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
