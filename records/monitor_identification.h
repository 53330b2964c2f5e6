// MonitorIdentification: a user's login, the pair of user name and password that a
// monitor sends after connecting and that the node checks against its AccessLevelTable.
// Connections keep a copy of the pair they were given; the node's web pages send it on
// as a form body.
//
// Wire form (both children always written, also when empty):
//   <qav:MonitorIdentification xmlns:qav="..."><qav:UserName>joe</qav:UserName>
//   <qav:Password>secret</qav:Password></qav:MonitorIdentification>
//
// The record holds a password: whoever logs records must leave this one out.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "core/wide_text.h"
#include "records/xml_record.h"

namespace qav {

class MonitorIdentification : public XmlRecord {
  public:
    static constexpr int32_t kTypeId = 9;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    // "username=" and the user name, then "&password=" and the password unless it is
    // empty; both as percent-encoded UTF-8. False, `body` untouched, without a user name
    // or when a text cannot be converted.
    bool BuildLoginFormBody(std::string& body) const;

    WString m_userName;
    WString m_password;
};

}  // namespace qav
