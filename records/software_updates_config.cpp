#include "records/software_updates_config.h"

#include "core/xml_fields.h"

namespace qav {
namespace {

void Serialize(SoftwareUpdatesConfig& record, XmlElement element, uint32_t direction) {
    SyncStringField(element, u"qav:RootDirectory", direction, record.m_rootDirectory);
    SyncBoolField(element, u"qav:EnableSoftwareUpdates", direction, record.m_enableSoftwareUpdates);
}

}  // namespace

void SoftwareUpdatesConfig::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:SoftwareUpdatesConfig", kQavNamespaceUri),
              kSyncWrite);
}

void SoftwareUpdatesConfig::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t SoftwareUpdatesConfig::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t SoftwareUpdatesConfig::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
