#include "core/xml_element.h"

#include <algorithm>
#include <climits>
#include <string>

#include "core/format.h"
#include "core/text_utils.h"

namespace qav {

// ---- Navigation and structure --------------------------------------------------------

XmlElement XmlElement::FirstChild() const {
    if (m_node == nullptr || m_node->m_children.empty()) {
        return XmlElement();
    }
    return XmlElement(m_node->m_children.front());
}

XmlElement XmlElement::NextSibling() const {
    if (m_node == nullptr || m_node->m_parent == nullptr) {
        return XmlElement();
    }
    const XmlChildList& siblings = m_node->m_parent->m_children;
    const size_t next = m_node->m_index + 1;
    return next < siblings.size() ? XmlElement(siblings[next]) : XmlElement();
}

XmlElement XmlElement::FindChild(WStringView name) const {
    if (m_node == nullptr) {
        return XmlElement();
    }
    for (XmlNode* child : m_node->m_children) {
        if (child->m_name == name) {
            return XmlElement(child);
        }
    }
    return XmlElement();
}

XmlElement XmlElement::FindChildNs(WStringView localName, WStringView namespaceUri) const {
    if (m_node == nullptr) {
        return XmlElement();
    }
    WString childLocalName;
    WString childUri;
    for (XmlNode* child : m_node->m_children) {
        if (XmlNode::ResolveName(child, childLocalName, childUri) && childLocalName == localName &&
            childUri == namespaceUri) {
            return XmlElement(child);
        }
    }
    return XmlElement();
}

void XmlElement::RemoveChildren(WStringView name) {
    if (m_node == nullptr) {
        return;
    }
    XmlChildList& children = m_node->m_children;
    const auto removed = std::stable_partition(
        children.begin(), children.end(), [name](XmlNode* child) { return child->m_name != name; });
    for (auto it = removed; it != children.end(); ++it) {
        DestroyXmlTree(*it);
    }
    children.erase(removed, children.end());
    // NextSibling and later appends rely on every index matching its position.
    for (size_t i = 0; i < children.size(); ++i) {
        children[i]->m_index = i;
    }
}

bool XmlElement::GetName(WString& out) const {
    if (m_node == nullptr) {
        out.clear();
        return false;
    }
    out.assign(m_node->m_name);
    return true;
}

XmlElement XmlElement::CreateChild(WStringView name, const WChar* namespaceUri) {
    if (m_node == nullptr) {
        return XmlElement();
    }
    return XmlElement(XmlNode::Create(m_node->m_document, name, namespaceUri, m_node));
}

XmlElement XmlElement::FindOrCreateChild(WStringView name, const WChar* namespaceUri, bool create) {
    XmlElement found = FindChild(name);
    if (!found.IsValid() && create) {
        found = CreateChild(name, namespaceUri);
    }
    return found;
}

// ---- Text ----------------------------------------------------------------------------

void XmlElement::SetText(WStringView text) {
    if (m_node != nullptr) {
        m_node->m_text.assign(text);
    }
}

void XmlElement::SetTextInt(int32_t value) {
    if (m_node != nullptr) {
        WString text;
        IntToWString(value, text);
        m_node->m_text.assign(text);
    }
}

void XmlElement::SetTextInt64(int64_t value) {
    if (m_node != nullptr) {
        m_node->m_text = FormatWString(u"%lld", static_cast<long long>(value));
    }
}

bool XmlElement::GetText(WString& out) const {
    if (m_node == nullptr) {
        return false;
    }
    out.assign(m_node->m_text);
    return true;
}

bool XmlElement::GetTextInt(int32_t& out) const {
    if (m_node == nullptr) {
        return false;
    }
    out = WStringToInt(m_node->m_text);
    return true;
}

bool XmlElement::GetTextInt64(int64_t& out) const {
    if (m_node == nullptr) {
        return false;
    }
    out = WStringToInt64(m_node->m_text);
    return true;
}

// ---- Attributes ----------------------------------------------------------------------

void XmlElement::SetAttribute(WStringView name, WStringView value) {
    if (m_node != nullptr) {
        m_node->m_attributes.insert_or_assign(m_node->NewString(name), m_node->NewString(value));
    }
}

void XmlElement::SetAttributeText(WStringView name, const WChar*, const WChar* text) {
    SetAttribute(name, text == nullptr ? WStringView() : WStringView(text));
}

void XmlElement::SetAttributeUtf8(WStringView name, const WChar* namespaceUri, const char* text) {
    SetAttributeString(name, namespaceUri, text == nullptr ? std::string() : std::string(text));
}

void XmlElement::SetAttributeString(WStringView name, const WChar*, const std::string& text) {
    if (m_node == nullptr) {
        return;
    }
    WString wide;
    Utf8ToWide(text.data(), static_cast<int>(std::min<size_t>(text.size(), INT_MAX)), wide,
               nullptr);
    SetAttribute(name, wide);
}

void XmlElement::SetAttributeInt(WStringView name, const WChar*, int32_t value) {
    if (m_node == nullptr) {
        return;
    }
    WString text;
    IntToWString(value, text);
    SetAttribute(name, text);
}

void XmlElement::SetAttributeInt64(WStringView name, const WChar*, int64_t value) {
    if (m_node != nullptr) {
        SetAttribute(name, FormatWString(u"%lld", static_cast<long long>(value)));
    }
}

void XmlElement::SetAttributeDouble(WStringView name, const WChar*, double value) {
    if (m_node == nullptr) {
        return;
    }
    WString text;
    DoubleToWString(value, text);
    SetAttribute(name, text);
}

void XmlElement::SetAttributeBool(WStringView name, const WChar*, bool value) {
    SetAttribute(name, value ? u"True" : u"False");
}

const XmlString* XmlElement::FindAttribute(WStringView name) const {
    if (m_node == nullptr) {
        return nullptr;
    }
    const auto found = m_node->m_attributes.find(name);
    return found == m_node->m_attributes.end() ? nullptr : &found->second;
}

bool XmlElement::GetAttribute(WStringView name, WString& out) const {
    const XmlString* value = FindAttribute(name);
    if (value != nullptr) {
        out.assign(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeInt(WStringView name, int32_t& out) const {
    const XmlString* value = FindAttribute(name);
    if (value != nullptr) {
        out = WStringToInt(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeInt64(WStringView name, int64_t& out) const {
    const XmlString* value = FindAttribute(name);
    if (value != nullptr) {
        out = WStringToInt64(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeDouble(WStringView name, double& out) const {
    const XmlString* value = FindAttribute(name);
    if (value != nullptr) {
        out = WStringToDouble(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeBool(WStringView name, bool& out) const {
    const XmlString* value = FindAttribute(name);
    if (value != nullptr) {
        out = IsYesText(*value);
    }
    return value != nullptr;
}

}  // namespace qav
