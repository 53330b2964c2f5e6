#include "records/recordings_list.h"

#include "core/xml_fields.h"
#include "records/record_fields.h"

namespace qav {

void RecordingEntry::Sync(XmlElement item, uint32_t direction, RecordingEntry& entry) {
    SyncIntAttribute(item, u"qav:Identifier", kQavNamespaceUri, direction, entry.m_identifier);
    SyncBoolAttribute(item, u"qav:Manual", kQavNamespaceUri, direction, entry.m_manual);
    SyncIntField(item, u"qav:DeviceID", kQavNamespaceUri, direction, entry.m_deviceId);
    // A channel travels as the attribute "qav:Index" of its own child element.
    SyncChildIntAttribute(item, u"qav:VideoChannel", u"qav:Index", kQavNamespaceUri, direction,
                          entry.m_videoChannel);
    SyncChildIntAttribute(item, u"qav:AudioChannel", u"qav:Index", kQavNamespaceUri, direction,
                          entry.m_audioChannel);
}

void RecordingsList::Sync(RecordingsList& list, XmlElement parent, uint32_t direction) {
    SyncList(parent.FindOrCreateChild(u"qav:Recordings", kQavNamespaceUri, direction != kSyncRead),
             u"qav:Recording", kQavNamespaceUri, direction, list.m_entries, RecordingEntry::Sync);
}

int32_t RecordingsList::FindManualRecording(int32_t deviceId, int32_t videoChannel,
                                            int32_t audioChannel) const {
    for (const RecordingEntry& entry : m_entries) {
        if (entry.m_manual && entry.m_deviceId == deviceId &&
            entry.m_videoChannel == videoChannel && entry.m_audioChannel == audioChannel) {
            return entry.m_identifier;
        }
    }
    return -1;
}

}  // namespace qav
