// LoggingParameters: how much the log keeps and shows — the lowest severity admitted,
// how many messages are kept, and whether a viewer refreshes on its own. The log sink
// derives from it, so the same values travel as a record and steer the sink.
//
// Wire form (children in this order):
//   <qav:LoggingParameters xmlns:qav="..."><qav:LogSeverity>Warning</qav:LogSeverity>
//   <qav:MaxNumberOfLogMessages>200</qav:MaxNumberOfLogMessages>
//   <qav:LogViewer><qav:AutoRefresh>False</qav:AutoRefresh></qav:LogViewer></...>
//
// Used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/text_logger.h"
#include "records/xml_record.h"

namespace qav {

class LoggingParameters : public XmlRecord {
  public:
    static constexpr int32_t kTypeId = 6;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;
    int32_t m_logSeverity = kSeverityWarning;  // values of the LogSeverity table
    int32_t m_maxNumberOfLogMessages = 200;
    bool m_autoRefresh = false;
};

// The texts of the severities of core/text_logger.h.
inline constexpr EnumTextRow kLogSeverityTable[] = {
    {kSeverityUndefined, u"Undefined"},
    {kSeverityStatus, u"Status"},
    {kSeverityWarning, u"Warning"},
    {kSeverityError, u"Error"},
};

}  // namespace qav
