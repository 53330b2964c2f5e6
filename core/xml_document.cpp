#include "core/xml_document.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/file_access.h"
#include "core/native_path.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "platform/file_system.h"
#include "platform/system_error.h"

namespace qav {
namespace {

std::string ToUtf8(WStringView text) {
    std::string bytes;
    WideToUtf8(text.data(), static_cast<int>(std::min<size_t>(text.size(), INT_MAX)), bytes);
    return bytes;
}

}  // namespace

XmlDocument::XmlDocument() : m_block(new XmlDocumentBlock) {}

XmlDocument::~XmlDocument() {
    m_block->Release();
}

XmlDocument::XmlDocument(const XmlDocument& other) : m_block(other.m_block) {
    m_block->AddRef();
}

XmlDocument& XmlDocument::operator=(const XmlDocument& other) {
    if (other.m_block != m_block) {
        other.m_block->AddRef();
        m_block->Release();
        m_block = other.m_block;
    }
    return *this;
}

XmlElement XmlDocument::LoadFromText(const char* text, int length) {
    QAV_TRACE("EXML::LFT");
    int iTextLength = length;
    const char* szText = text;
    QAV_TRACE_VAR("iTextLength", iTextLength, kTraceInt32);
    QAV_TRACE_VAR("szText", szText, kTraceText);
    if (text == nullptr || length < 0) {
        return XmlElement();
    }
    return ParseXmlBytes(*m_block, text, length) ? XmlElement(m_block->m_root) : XmlElement();
}

XmlElement XmlDocument::LoadFromTextW(const WChar* text) {
    QAV_TRACE("EXML::LFTW");
    const WChar* wszText = text;
    QAV_TRACE_VAR("wszText", wszText, kTraceWideText);
    if (text == nullptr) {
        return XmlElement();
    }
    return ParseXmlText(*m_block, text) ? XmlElement(m_block->m_root) : XmlElement();
}

XmlElement XmlDocument::LoadFromFile(WStringView path) {
    return ReadXmlFile(*m_block, path) ? XmlElement(m_block->m_root) : XmlElement();
}

bool XmlDocument::SaveToFile(WStringView path) {
    QAV_TRACE("EXML::STF");
    return WriteXmlFile(*m_block, path);
}

XmlElement XmlDocument::CreateRoot(WStringView name, const WChar* namespaceUri) {
    return XmlElement(XmlNode::Create(m_block, name, namespaceUri, nullptr));
}

bool XmlDocument::ReadXmlFile(XmlDocumentBlock& document, WStringView path) {
    WString text;
    if (!FileAccess::ReadTextFile(path, text)) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning, "Cannot read XML file \"%s\"", ToUtf8(path));
        }
        return false;
    }
    std::replace(text.begin(), text.end(), u'\0', u' ');
    if (!ParseXmlText(document, text)) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning, "Invalid XML file \"%s\": \"%s\"", ToUtf8(path),
                              ToUtf8(text));
        }
        return false;
    }
    return true;
}

bool XmlDocument::WriteXmlFile(const XmlDocumentBlock& document, WStringView path) {
    WString text;
    if (!ToXmlText(document, text)) {
        return false;
    }
    std::string nativePath;
    if (!ToNativePath(path, nativePath)) {
        platform::SetLastErrorCode(EINVAL);
        return false;
    }
    if (text.size() > INT_MAX) {
        platform::SetLastErrorCode(EFBIG);
        return false;
    }
    std::string bytes("\xEF\xBB\xBF");
    bytes.append(ToUtf8(text));
    if (!platform::WriteFileReplacing(nativePath, bytes.data(), bytes.size())) {
        const int code = platform::LastErrorCode();
        if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
            logger->LogFormat(kSeverityError, "Error writing to file %ls: (%d) %ls", path, code,
                              GetErrorText(code));
        }
        platform::SetLastErrorCode(code);
        return false;
    }
    return true;
}

}  // namespace qav
