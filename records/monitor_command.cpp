#include "records/monitor_command.h"

#include "core/text_utils.h"
#include "core/xml_fields.h"
#include "records/record_fields.h"

namespace qav {
namespace {

constexpr int32_t kAudioFile = 1;
constexpr int32_t kVideoFile = 2;
constexpr int32_t kMixedFile = 3;

// Only the types whose XML announces the length have an attachment: a length left over
// from an earlier message would make the peer take the bytes that follow for one.
bool CarriesAttachment(int32_t type) {
    switch (type) {
        case 5:
        case 6:
        case MonitorCommand::kPacket:
        case 13:
        case 16:
        case 29:
        case 35:
            return true;
        default:
            return false;
    }
}

}  // namespace

void MediaFileEntry::Serialize(XmlElement element, uint32_t direction) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, m_name);
    SyncEnumAttribute(element, u"qav:MediaType", kQavNamespaceUri, kMediaFileTypeTable, direction,
                      m_type);
    if (m_type != kAudioFile && m_type != kVideoFile && m_type != kMixedFile) {
        return;  // folders, logs and lists have no times, channels or duration
    }
    SyncTextAttribute(element, u"qav:StartingTime", kQavNamespaceUri, direction, m_startingTime);
    SyncTextAttribute(element, u"qav:EndingTime", kQavNamespaceUri, direction, m_endingTime);
    SyncIntAttribute(element, u"qav:DeviceID", kQavNamespaceUri, direction, m_deviceId);
    SyncTextAttribute(element, u"qav:MediaFileExtension", kQavNamespaceUri, direction,
                      m_mediaFileExtension);
    SyncIntAttribute(element, u"qav:Duration", kQavNamespaceUri, direction, m_duration);
    if (m_type != kAudioFile) {
        SyncIntAttribute(element, u"qav:VideoChannel", kQavNamespaceUri, direction, m_videoChannel);
    }
    if (m_type != kVideoFile) {
        SyncIntAttribute(element, u"qav:AudioChannel", kQavNamespaceUri, direction, m_audioChannel);
    }
}

// An entry is read whole: what its item leaves out is empty or 0, not what the entry had.
void RouteStatisticsEntry::Serialize(XmlElement element, uint32_t direction) {
    if (direction != kSyncRead) {
        element.SetAttributeString(u"qav:Address", kQavNamespaceUri, m_address);
    } else {
        WString address;
        element.GetAttribute(u"qav:Address", address);
        WideToUtf8(address.data(), static_cast<int>(address.size()), m_address);
        m_size = 0;
    }
    SyncIntAttribute(element, u"qav:Size", kQavNamespaceUri, direction, m_size);
}

void MonitorCommand::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:MonitorCommand", kQavNamespaceUri), kSyncWrite);
}

void MonitorCommand::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t MonitorCommand::GetPayload(const uint8_t**& payload) {
    if (!CarriesAttachment(m_type) || m_dataSize < 0) {
        return 0;
    }
    payload = &m_payload;
    return static_cast<uint32_t>(m_dataSize);
}

int32_t MonitorCommand::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
