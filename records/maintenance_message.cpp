#include "records/maintenance_message.h"

#include <algorithm>

#include "core/xml_fields.h"

namespace qav {
namespace {

bool SameRecording(const RecordingEntry& a, const RecordingEntry& b) {
    return a.m_identifier == b.m_identifier && a.m_deviceId == b.m_deviceId &&
           a.m_videoChannel == b.m_videoChannel && a.m_audioChannel == b.m_audioChannel &&
           a.m_manual == b.m_manual;
}

}  // namespace

bool MaintenanceMessage::operator==(const MaintenanceMessage& other) const {
    const std::vector<RecordingEntry>& mine = m_recordings.Entries();
    const std::vector<RecordingEntry>& theirs = other.m_recordings.Entries();
    return static_cast<const MaintenanceMessageFields&>(*this) == other &&
           std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end(), SameRecording);
}

void MaintenanceMessage::WriteXml(XmlElement parent) {
    if (m_type != 0) {
        Serialize(*this, parent.CreateChild(u"qav:MaintenanceMessage", kQavNamespaceUri),
                  kSyncWrite);
    }
}

void MaintenanceMessage::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

// Only the types whose XML announces the length have an attachment: a length left over
// from another type would make the peer take the bytes that follow for one.
uint32_t MaintenanceMessage::GetPayload(const uint8_t**& payload) {
    const bool carriesAttachment = m_type == kMaintenanceUpgradeSoftware ||
                                   m_type == kMaintenanceBinaryPacket ||
                                   m_type == kMaintenancePublishFile;
    if (!carriesAttachment || m_dataSize < 0) {
        return 0;
    }
    payload = &m_payload;
    return static_cast<uint32_t>(m_dataSize);
}

int32_t MaintenanceMessage::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
