#include "core/xml_element.h"

#include <locale.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "core/format.h"
#include "core/text_utils.h"

namespace qav {
namespace {

// The white space that C's number readers skip in the "C" locale.
constexpr bool IsNumberSpace(WChar c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

constexpr bool IsDigit(WChar c) {
    return c >= u'0' && c <= u'9';
}

// Only the plain decimal form is taken (no "inf", "nan" or hexadecimal), so the prefix
// is first cut out here and then converted in the "C" locale.
double TextToDouble(WStringView text) {
    size_t i = 0;
    while (i < text.size() && IsNumberSpace(text[i])) {
        ++i;
    }
    std::string number;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        number.push_back(static_cast<char>(text[i++]));
    }
    size_t digits = 0;
    const auto takeDigits = [&] {
        for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) {
            number.push_back(static_cast<char>(text[i]));
        }
    };
    takeDigits();
    if (i < text.size() && text[i] == u'.') {
        number.push_back('.');
        ++i;
        takeDigits();
    }
    if (digits == 0) {
        return 0;
    }
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == u'+' || text[j] == u'-')) {
            ++j;
        }
        if (j < text.size() && IsDigit(text[j])) {
            for (; i < j; ++i) {
                number.push_back(static_cast<char>(text[i]));
            }
            takeDigits();
        }
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(number.c_str(), nullptr, cLocale);
}

}  // namespace

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
    const std::vector<XmlNode*>& siblings = m_node->m_parent->m_children;
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
    std::vector<XmlNode*>& children = m_node->m_children;
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
    out = m_node->m_name;
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
        IntToWString(value, m_node->m_text);
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
    out = m_node->m_text;
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
        m_node->m_attributes.insert_or_assign(WString(name), WString(value));
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

const WString* XmlElement::FindAttribute(WStringView name) const {
    if (m_node == nullptr) {
        return nullptr;
    }
    const auto found = m_node->m_attributes.find(name);
    return found == m_node->m_attributes.end() ? nullptr : &found->second;
}

bool XmlElement::GetAttribute(WStringView name, WString& out) const {
    const WString* value = FindAttribute(name);
    if (value != nullptr) {
        out = *value;
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeInt(WStringView name, int32_t& out) const {
    const WString* value = FindAttribute(name);
    if (value != nullptr) {
        out = WStringToInt(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeInt64(WStringView name, int64_t& out) const {
    const WString* value = FindAttribute(name);
    if (value != nullptr) {
        out = WStringToInt64(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeDouble(WStringView name, double& out) const {
    const WString* value = FindAttribute(name);
    if (value != nullptr) {
        out = TextToDouble(*value);
    }
    return value != nullptr;
}

bool XmlElement::GetAttributeBool(WStringView name, bool& out) const {
    const WString* value = FindAttribute(name);
    if (value != nullptr) {
        out = IsYesText(*value);
    }
    return value != nullptr;
}

}  // namespace qav
