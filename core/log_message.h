// LogMessage: what the system reports to its operator — a small XML document with the
// human text and any number of named values — and MessageLogger, the interface that
// takes such reports with a severity.
//
// The XML form: a root "qav:Message" in the qav namespace with the attribute
// "qav:Text", and one "qav:Parameter" child per value with the attributes "qav:Name"
// and "qav:Value", in the order added.
//
// Typical usage:
//   if (MessageLogger* admitting = AdmittingLogger(logger, kSeverityError)) {
//       LogMessage message(u"Connection lost");
//       message.AddConnectionParameter(connection);
//       admitting->Log(kSeverityError, message);
//   }
//
// A copy shares the document (the document's count is atomic, so copies may be made
// and dropped on any thread). A message is built by one thread; once it has been
// logged it is not changed any more, because the logger and its reader share it.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "core/text_logger.h"
#include "core/wide_text.h"
#include "core/xml_document.h"
#include "core/xml_element.h"

namespace qav {

class LogMessage {
  public:
    explicit LogMessage(WStringView text);

    void AddParameter(WStringView name, WStringView value);
    void AddParameterInt(WStringView name, int32_t value);
    void AddParameterBool(WStringView name, bool value);
    void AddParameterString(WStringView name, const std::string& utf8Value);
    // A null value is taken as empty.
    void AddParameterText(WStringView name, const WChar* value);
    void AddParameterInt64(WStringView name, int64_t value);
    // A null value is taken as empty.
    void AppendXmlParameter(WStringView name, const char* utf8Value);
    // "Connection" with the pointer as "0x" and its hexadecimal digits.
    void AddConnectionParameter(const void* connection);

    XmlElement GetRoot() const { return m_root; }
    const XmlDocument& GetDocument() const { return m_document; }

  private:
    // The new "qav:Parameter" child with its name set; null when it could not be made.
    XmlElement CreateParameter(WStringView name);

    XmlDocument m_document;
    XmlElement m_root;
};

// Takes report records. Any thread may log; implementations say how they keep them.
class MessageLogger {
  public:
    // The lowest severity the logger admits.
    virtual int GetLevel() = 0;
    // The message is shared with the logger, not copied.
    virtual void Log(int severity, const LogMessage& message) = 0;
    // A message that could not even be built (memory ran out) is counted as lost, so
    // that its loss is reported like that of a message the logger could not keep. A
    // logger that reports no losses ignores it.
    virtual void CountLostMessage() {}

  protected:
    ~MessageLogger() = default;
};

// Builds a message with `build` (a callable returning a LogMessage) and logs it when
// `logger` admits `severity`. When memory runs out while the message is built or logged,
// the message is counted as lost instead: a report must never end the thread that makes
// it. `logger` is any pointer-like handle to a MessageLogger.
template <typename Logger, typename Build>
void LogBuiltMessage(const Logger& logger, int severity, Build&& build) {
    if (!logger || logger->GetLevel() > severity) {
        return;
    }
    try {
        const LogMessage message = build();
        logger->Log(severity, message);
    } catch (const std::bad_alloc&) {
        logger->CountLostMessage();
    }
}

// Builds a message of the text and logs it when `logger` is not null.
void WriteLogText(MessageLogger* logger, int severity, WStringView text);
// The same, but only when the logger admits the severity, so that nothing is built for
// a report that would be discarded.
void LogText(MessageLogger* logger, int severity, WStringView text);

}  // namespace qav
