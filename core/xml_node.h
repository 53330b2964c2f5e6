// The in-memory XML tree: XmlNode is one element, XmlDocumentBlock owns a whole tree.
// The handles the rest of the system uses (XmlDocument, and element handles) sit on top.
//
// Typical usage:
//   XmlDocumentBlock* block = new XmlDocumentBlock;
//   XmlNode* root = XmlNode::Create(block, u"qav:Message", kQavNamespaceUri, nullptr);
//   XmlNode::Create(block, u"qav:Parameter", kQavNamespaceUri, root);  // no second xmlns
//   block->Release();
//
// A tree is used by one thread at a time; only the block's reference count may be
// changed from any thread. Destroying a node is iterative, so depth is bounded only by
// memory.
//
// Every byte of a document's tree comes from its pool: a node holds nothing else (its
// strings and containers keep the pool's allocator, and a child belongs to its parent's
// document). So the tree that a document block holds when it dies is not walked: it goes
// with the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_pool.h"

namespace qav {

// The namespace of every element of the protocol's messages, records and files.
inline constexpr WChar kQavNamespaceUri[] = u"urn:qav:relay:2026";

class XmlNode;

// Attribute names to values, ordered by the names' UTF-16 code units, each name once. A
// node's strings, map and child list take their memory from the document's pool: copy
// them (a copy uses the heap) rather than move them out of a node that may die first.
//
// The pairs sit in one sorted array: a node has a handful of attributes, and a tree node
// per attribute cost more memory than the pair itself. A name's position is found by
// binary search; an insertion moves the pairs after it.
class XmlAttributeMap {
  public:
    using value_type = std::pair<XmlString, XmlString>;
    using allocator_type = XmlPoolAllocator<value_type>;
    using iterator = value_type*;
    using const_iterator = const value_type*;

    XmlAttributeMap() = default;
    explicit XmlAttributeMap(const allocator_type& allocator) : m_pairs(allocator) {}

    allocator_type get_allocator() const { return m_pairs.get_allocator(); }
    bool empty() const { return m_pairs.empty(); }
    size_t size() const { return m_pairs.size(); }
    iterator begin() { return m_pairs.data(); }
    iterator end() { return m_pairs.data() + m_pairs.size(); }
    const_iterator begin() const { return m_pairs.data(); }
    const_iterator end() const { return m_pairs.data() + m_pairs.size(); }

    // The first pair whose name is not less than `name`.
    iterator lower_bound(WStringView name) { return begin() + LowerBoundIndex(name); }
    const_iterator lower_bound(WStringView name) const { return begin() + LowerBoundIndex(name); }

    iterator find(WStringView name) { return begin() + FindIndex(name); }
    const_iterator find(WStringView name) const { return begin() + FindIndex(name); }

    // Throws std::out_of_range when the name is missing.
    const XmlString& at(WStringView name) const;

    // The name's value, an empty one inserted when the name is new.
    XmlString& operator[](WStringView name);

    void insert_or_assign(XmlString name, XmlString value);

    // Inserts before `at`. At any other place than the name's own, SortAndKeepFirst must
    // follow before the map is used again.
    void emplace_hint(const_iterator at, XmlString name, XmlString value);
    // Inserts before `at` (as emplace_hint) a pair of copies of the views in the map's pool.
    void EmplaceCopies(const_iterator at, WStringView name, WStringView value) {
        const XmlString::allocator_type allocator(get_allocator());
        m_pairs.emplace(m_pairs.begin() + (at - begin()), std::piecewise_construct,
                        std::forward_as_tuple(name, allocator),
                        std::forward_as_tuple(value, allocator));
    }
    // Room for `count` pairs, so that as many take no new memory.
    void reserve(size_t count) { m_pairs.reserve(count); }

    // Restores the order; of equal names the earliest stays.
    void SortAndKeepFirst();

    friend bool operator==(const XmlAttributeMap& a, const XmlAttributeMap& b) {
        return a.m_pairs == b.m_pairs;
    }

  private:
    size_t LowerBoundIndex(WStringView name) const;
    size_t FindIndex(WStringView name) const;

    std::vector<value_type, allocator_type> m_pairs;
};
using XmlChildList = std::vector<XmlNode*, XmlPoolAllocator<XmlNode*>>;

// One document: its tree, whether it was parsed from text that carried a processing
// instruction (then the writer emits the XML declaration), and the handles' count.
struct XmlDocumentBlock {
    XmlDocumentBlock() = default;
    ~XmlDocumentBlock();
    XmlDocumentBlock(const XmlDocumentBlock&) = delete;
    XmlDocumentBlock& operator=(const XmlDocumentBlock&) = delete;

    // Destroys the old tree (if other than `root`) and takes `root`, which may be null.
    void ReplaceRoot(XmlNode* root);

    // The block starts with one reference; the Release that ends the last one deletes it.
    void AddRef() { m_referenceCount.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    XmlPool m_pool;  // all of the tree's memory
    XmlNode* m_root = nullptr;
    uint8_t m_declarationFlag = 0;
    std::atomic<int32_t> m_referenceCount{1};
};

class XmlNode {
  public:
    // Made by `new (document) XmlNode(document, ...)`, from the document's pool (the heap
    // for a null document); a plain `delete` gives the memory back to where it came from.
    XmlNode(XmlDocumentBlock* document, WStringView name, XmlNode* parent);
    // Destroys the subtree below without recursion.
    ~XmlNode();
    XmlNode(const XmlNode&) = delete;
    XmlNode& operator=(const XmlNode&) = delete;

    static void* operator new(size_t bytes, XmlDocumentBlock* document);
    static void operator delete(void* block, XmlDocumentBlock* document);  // a failed constructor
    static void operator delete(XmlNode* node, std::destroying_delete_t);

    // A new node. Without a parent it becomes the document's root and the old tree is
    // destroyed at once; with one it is appended to the parent's children and belongs to
    // the parent's document, whatever `document` says. A non-empty `namespaceUri` is then
    // declared for the name's prefix.
    static XmlNode* Create(XmlDocumentBlock* document, WStringView name, const WChar* namespaceUri,
                           XmlNode* parent);

    // "xmlns" for an empty prefix, else "xmlns:" and the prefix (one trailing ':' dropped).
    static WString NamespaceAttributeName(WStringView prefix);

    // Looks for the prefix's declaration from the node up to the root; the first wins.
    // False and an empty URI when none declares it.
    static bool LookupNamespace(const XmlNode* node, WStringView prefix, WString& uri);

    // Sets the prefix's declaration on the node unless it already resolves to `uri`.
    static void DeclareNamespace(XmlNode* node, WStringView prefix, WStringView uri);

    // Splits the name at its first ':' and resolves the prefix; the lookup's result.
    static bool ResolveName(const XmlNode* node, WString& localName, WString& uri);

    // Reads an attribute list starting at text[position] into `attributes` and leaves
    // `position` at the '/', '>' or `terminator` (0 for none) that ended it. A name met
    // twice keeps its first value. False on a malformed list or the end of the text.
    static bool ParseAttributes(XmlAttributeMap& attributes, WStringView text, size_t& position,
                                WChar terminator);

    // Appends ` name="value"` for every attribute, in map order, escaping as needed.
    static void WriteAttributes(const XmlAttributeMap& attributes, WString& out);
    // The same without "xmlns" and "xmlns:..." declarations.
    static void WriteAttributesNoNamespaces(const XmlAttributeMap& attributes, WString& out);

    // A string of this node's document, for its name, text and attributes.
    XmlString NewString(WStringView text) const { return XmlString(text, m_name.get_allocator()); }

    XmlString m_name;  // qualified, as written
    XmlAttributeMap m_attributes;
    XmlChildList m_children;  // owned, in document order
    XmlString m_text;         // all character data, decoded, in the order met
    XmlDocumentBlock* m_document = nullptr;
    XmlNode* m_parent = nullptr;
    size_t m_index = 0;  // position in the parent's children; kept equal by removals
};

// Deletes a whole tree without recursion; null is allowed.
void DestroyXmlTree(XmlNode* root);

// Tab, CR, LF and space: the only white space of the XML, JSON and attribute readers.
inline bool IsXmlWhiteSpace(WChar c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}
inline bool IsXmlWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace qav
