#include "records/monitor_identification.h"

#include <limits>

#include "core/text_utils.h"
#include "core/xml_fields.h"

namespace qav {
namespace {

void Serialize(MonitorIdentification& record, XmlElement element, uint32_t direction) {
    SyncStringField(element, u"qav:UserName", direction, record.m_userName);
    SyncStringField(element, u"qav:Password", direction, record.m_password);
}

// Empty for an empty text and for one too long for the converter.
std::string FormValue(const WString& text) {
    std::string value;
    if (text.size() <= static_cast<size_t>(std::numeric_limits<int>::max())) {
        WideToUtf8(text.data(), static_cast<int>(text.size()), value);
        UrlEncode(value);
    }
    return value;
}

}  // namespace

void MonitorIdentification::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:MonitorIdentification", kQavNamespaceUri),
              kSyncWrite);
}

void MonitorIdentification::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t MonitorIdentification::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t MonitorIdentification::GetTypeId() const {
    return kTypeId;
}

bool MonitorIdentification::BuildLoginFormBody(std::string& body) const {
    const std::string userName = FormValue(m_userName);
    if (userName.empty()) {
        return false;
    }
    // A password that fails to convert must not turn into a login without one.
    const std::string password = FormValue(m_password);
    if (password.empty() && !m_password.empty()) {
        return false;
    }
    body = "username=" + userName;
    if (!password.empty()) {
        body += "&password=" + password;
    }
    return true;
}

}  // namespace qav
