// XmlElement: a plain, non-owning handle to one element of an XmlDocument's tree, and
// the one way records and messages read and write their elements.
//
// A handle is one pointer wide and copied freely. A null handle means "no element":
// every operation on it does nothing and returns false, a null handle or an empty
// result, so a chain like `root.FindChild(u"qav:A").FindChild(u"qav:B")` needs no check
// in between. A handle stays usable while the document that owns the node lives and the
// node has not been removed (RemoveChildren) or replaced (a new load or root).
//
// Numbers are written and read without any locale: integers in base 10, doubles as
// the shortest text that reads back to the same double, booleans as "True"/"False" (read as true
// when the first character is T, t, Y or y). Readers never fail on a malformed number; they return
// what a base-10 reading gives. Attributes are looked up by their exact qualified name, never
// through namespaces.
//
// Typical usage:
//   XmlElement item = list.CreateChild(u"qav:Item", kQavNamespaceUri);
//   item.SetAttributeInt(u"qav:Id", kQavNamespaceUri, 7);
//   for (XmlElement child = list.FirstChild(); child.IsValid(); child = child.NextSibling())
//
// Like its document, an element is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/wide_text.h"
#include "core/xml_node.h"

namespace qav {

class XmlElement {
  public:
    XmlElement() = default;
    explicit XmlElement(XmlNode* node) : m_node(node) {}

    XmlNode* GetNode() const { return m_node; }
    bool IsValid() const { return m_node != nullptr; }

    // Handles are equal when they point at the same node (or are both null).
    friend bool operator==(XmlElement a, XmlElement b) { return a.m_node == b.m_node; }
    friend bool operator==(XmlElement a, std::nullptr_t) { return a.m_node == nullptr; }

    // ---- Navigation and structure ----------------------------------------------------

    XmlElement FirstChild() const;
    // Null for the root and for the last child.
    XmlElement NextSibling() const;
    // The first child whose qualified name is exactly `name`.
    XmlElement FindChild(WStringView name) const;
    // The first child whose prefix resolves (on it or an ancestor) to `namespaceUri` and
    // whose local name is `localName`; a child with an undeclared prefix never matches.
    XmlElement FindChildNs(WStringView localName, WStringView namespaceUri) const;
    // Destroys every child named exactly `name`; the others keep their order.
    void RemoveChildren(WStringView name);
    // False and `out` cleared for a null handle.
    bool GetName(WString& out) const;
    // Appended after all children; a non-empty URI is declared for the name's prefix
    // unless it is already in scope with that URI.
    XmlElement CreateChild(WStringView name, const WChar* namespaceUri);
    XmlElement FindOrCreateChild(WStringView name, const WChar* namespaceUri, bool create);

    // ---- Text (getters leave `out` untouched for a null handle) ------------------------

    void SetText(WStringView text);
    void SetTextInt(int32_t value);
    void SetTextInt64(int64_t value);
    bool GetText(WString& out) const;
    bool GetTextInt(int32_t& out) const;
    bool GetTextInt64(int64_t& out) const;

    // ---- Attributes ----------------------------------------------------------------------
    // Setters insert or replace. The URI is taken for symmetry with CreateChild and not
    // used: an attribute's prefix gets no declaration. Null texts are taken as empty.

    void SetAttribute(WStringView name, WStringView value);
    void SetAttributeText(WStringView name, const WChar* namespaceUri, const WChar* text);
    void SetAttributeUtf8(WStringView name, const WChar* namespaceUri, const char* text);
    void SetAttributeString(WStringView name, const WChar* namespaceUri, const std::string& text);
    void SetAttributeInt(WStringView name, const WChar* namespaceUri, int32_t value);
    void SetAttributeInt64(WStringView name, const WChar* namespaceUri, int64_t value);
    void SetAttributeDouble(WStringView name, const WChar* namespaceUri, double value);
    void SetAttributeBool(WStringView name, const WChar* namespaceUri, bool value);

    // Each is false (`out` untouched) when the attribute is absent or the handle null.
    bool GetAttribute(WStringView name, WString& out) const;
    bool GetAttributeInt(WStringView name, int32_t& out) const;
    bool GetAttributeInt64(WStringView name, int64_t& out) const;
    bool GetAttributeDouble(WStringView name, double& out) const;
    bool GetAttributeBool(WStringView name, bool& out) const;

  private:
    const XmlString* FindAttribute(WStringView name) const;

    XmlNode* m_node = nullptr;
};

}  // namespace qav
