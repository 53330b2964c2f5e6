#include "records/logging_parameters.h"

#include <cstdint>

#include "core/xml_fields.h"
#include "records/record_fields.h"

namespace qav {
namespace {

void Serialize(LoggingParameters& record, XmlElement element, uint32_t direction) {
    SyncEnumField(element, u"qav:LogSeverity", kQavNamespaceUri, kLogSeverityTable, direction,
                  record.m_logSeverity);
    // A negative maximum would leave the log without any limit; 0 asks for none openly, so
    // text that is no number must not read as 0.
    SyncBounded(direction, record.m_maxNumberOfLogMessages, 0, INT32_MAX, [&](int32_t& maximum) {
        return SyncCheckedIntField(element, u"qav:MaxNumberOfLogMessages", kQavNamespaceUri,
                                   direction, maximum);
    });
    XmlElement viewer =
        element.FindOrCreateChild(u"qav:LogViewer", kQavNamespaceUri, direction != kSyncRead);
    SyncBoolField(viewer, u"qav:AutoRefresh", direction, record.m_autoRefresh);
}

}  // namespace

void LoggingParameters::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:LoggingParameters", kQavNamespaceUri), kSyncWrite);
}

void LoggingParameters::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t LoggingParameters::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t LoggingParameters::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
