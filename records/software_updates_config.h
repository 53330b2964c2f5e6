// SoftwareUpdatesConfig: the settings of the software-updates table — whether updates
// are offered and the directory they are kept in. The table holds one as a member.
//
// Wire form: <qav:SoftwareUpdatesConfig xmlns:qav="..."><qav:RootDirectory>...
//   </qav:RootDirectory><qav:EnableSoftwareUpdates>False</qav:EnableSoftwareUpdates>
//   </qav:SoftwareUpdatesConfig>
//
// Used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/wide_text.h"
#include "records/xml_record.h"

namespace qav {

class SoftwareUpdatesConfig : public XmlRecord {
  public:
    static constexpr int32_t kTypeId = 11;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    bool m_enableSoftwareUpdates = false;
    WString m_rootDirectory;
};

}  // namespace qav
