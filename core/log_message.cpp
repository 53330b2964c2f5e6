#include "core/log_message.h"

#include "core/format.h"
#include "core/xml_node.h"

namespace qav {

namespace {

constexpr WChar kParameterName[] = u"qav:Parameter";
constexpr WChar kNameAttribute[] = u"qav:Name";
constexpr WChar kValueAttribute[] = u"qav:Value";

// "0x", up to 16 digits and the terminator.
constexpr size_t kConnectionValueCapacity = 20;

}  // namespace

LogMessage::LogMessage(WStringView text)
    : m_root(m_document.CreateRoot(u"qav:Message", kQavNamespaceUri)) {
    m_root.SetAttribute(u"qav:Text", text);
}

XmlElement LogMessage::CreateParameter(WStringView name) {
    XmlElement parameter = m_root.CreateChild(kParameterName, kQavNamespaceUri);
    parameter.SetAttribute(kNameAttribute, name);
    return parameter;
}

void LogMessage::AddParameter(WStringView name, WStringView value) {
    CreateParameter(name).SetAttribute(kValueAttribute, value);
}

void LogMessage::AddParameterInt(WStringView name, int32_t value) {
    CreateParameter(name).SetAttribute(kValueAttribute, FormatWString(u"%d", value));
}

void LogMessage::AddParameterBool(WStringView name, bool value) {
    CreateParameter(name).SetAttributeBool(kValueAttribute, kQavNamespaceUri, value);
}

void LogMessage::AddParameterString(WStringView name, const std::string& utf8Value) {
    CreateParameter(name).SetAttributeString(kValueAttribute, kQavNamespaceUri, utf8Value);
}

void LogMessage::AddParameterText(WStringView name, const WChar* value) {
    CreateParameter(name).SetAttributeText(kValueAttribute, kQavNamespaceUri, value);
}

void LogMessage::AddParameterInt64(WStringView name, int64_t value) {
    CreateParameter(name).SetAttribute(kValueAttribute,
                                       FormatWString(u"%lld", static_cast<long long>(value)));
}

void LogMessage::AppendXmlParameter(WStringView name, const char* utf8Value) {
    CreateParameter(name).SetAttributeUtf8(kValueAttribute, kQavNamespaceUri, utf8Value);
}

void LogMessage::AddConnectionParameter(const void* connection) {
    // The formatter's %p gives the digits alone, so the prefix is written exactly once.
    WChar value[kConnectionValueCapacity];
    FormatTextW(value, kConnectionValueCapacity, u"0x%p", connection);
    CreateParameter(u"Connection").SetAttribute(kValueAttribute, value);
}

void WriteLogText(MessageLogger* logger, int severity, WStringView text) {
    const LogMessage message(text);
    if (logger != nullptr) {
        logger->Log(severity, message);
    }
}

void LogText(MessageLogger* logger, int severity, WStringView text) {
    if (MessageLogger* admitting = AdmittingLogger(logger, severity)) {
        WriteLogText(admitting, severity, text);
    }
}

}  // namespace qav
