// The writer of XmlDocument and its exact length count. Both walk the tree with an
// explicit stack of child positions.
#include <utility>
#include <vector>

#include "core/trace_frame.h"
#include "core/xml_document.h"
#include "core/xml_escape.h"

namespace qav {
namespace {

constexpr WStringView kXmlDeclaration = u"<?xml version='1.0' encoding='UTF-8'?>";

// The parser drops the white space that opens a run of character data, so a text that
// starts with some keeps that first character as a reference.
const WChar* LeadingWhiteSpaceReference(WStringView text) {
    if (text.empty()) {
        return nullptr;
    }
    switch (text[0]) {
        case u'\t':
            return u"&#9;";
        case u'\r':
            return u"&#13;";
        case u'\n':
            return u"&#10;";
        case u' ':
            return u"&#32;";
        default:
            return nullptr;
    }
}

bool IsLeaf(const XmlNode& node) {
    return node.m_children.empty() && node.m_text.empty();
}

void WriteOpeningTag(const XmlNode& node, WString& out) {
    out.push_back(u'<');
    out.append(node.m_name);
    XmlNode::WriteAttributes(node.m_attributes, out);
    out.append(IsLeaf(node) ? u"/>" : u">");
}

void WriteTextAndClosingTag(const XmlNode& node, WString& out) {
    WStringView text = node.m_text;
    if (const WChar* reference = LeadingWhiteSpaceReference(text)) {
        out.append(reference);
        text.remove_prefix(1);
    }
    XmlAppendEscaped(text, out);
    out.append(u"</");
    out.append(node.m_name);
    out.push_back(u'>');
}

size_t OpeningTagLength(const XmlNode& node) {
    size_t length = 1 + node.m_name.size();
    for (const auto& [name, value] : node.m_attributes) {
        length += name.size() + XmlEscapedLength(value) + 4;
    }
    return length + (IsLeaf(node) ? 2 : 1);
}

size_t TextAndClosingTagLength(const XmlNode& node) {
    size_t length = XmlEscapedLength(node.m_text) + node.m_name.size() + 3;
    if (const WChar* reference = LeadingWhiteSpaceReference(node.m_text)) {
        length += std::char_traits<WChar>::length(reference) - 1;
    }
    return length;
}

// Calls opening(node) for every node depth first, and closing(node) after the
// children of every node that is not a leaf.
template <typename Opening, typename Closing>
void WalkTree(const XmlNode& root, Opening&& opening, Closing&& closing) {
    std::vector<std::pair<const XmlNode*, size_t>> stack;
    opening(root);
    if (IsLeaf(root)) {
        return;
    }
    stack.emplace_back(&root, 0);
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next == node->m_children.size()) {
            closing(*node);
            stack.pop_back();
            continue;
        }
        const XmlNode& child = *node->m_children[next++];
        opening(child);
        if (!IsLeaf(child)) {
            stack.emplace_back(&child, 0);  // `node` and `next` are not used after this
        }
    }
}

}  // namespace

bool XmlDocument::ToXmlText(const XmlDocumentBlock& document, WString& out) {
    QAV_TRACE("VT::TXML");
    if (document.m_root == nullptr) {
        return false;
    }
    out.clear();
    const size_t length = GetXmlTextLength(document);
    if (out.capacity() < length) {
        out.reserve(length);
    }
    if (document.m_declarationFlag != 0) {
        out.append(kXmlDeclaration);
    }
    WalkTree(
        *document.m_root, [&out](const XmlNode& node) { WriteOpeningTag(node, out); },
        [&out](const XmlNode& node) { WriteTextAndClosingTag(node, out); });
    return true;
}

size_t XmlDocument::GetXmlTextLength(const XmlDocumentBlock& document) {
    QAV_TRACE("VT::TXL");
    int64_t iLoopIndex = 0;
    int64_t iTotalLength = 0;
    QAV_TRACE_VAR("iLoopIndex", iLoopIndex, kTraceInt64);
    QAV_TRACE_VAR("iTotalLength", iTotalLength, kTraceInt64);
    size_t total = document.m_declarationFlag != 0 ? kXmlDeclaration.size() : 0;
    if (document.m_root != nullptr) {
        WalkTree(
            *document.m_root,
            [&](const XmlNode& node) {
                ++iLoopIndex;
                total += OpeningTagLength(node);
                iTotalLength = static_cast<int64_t>(total);
            },
            [&](const XmlNode& node) {
                total += TextAndClosingTagLength(node);
                iTotalLength = static_cast<int64_t>(total);
            });
    }
    return total;
}

}  // namespace qav
