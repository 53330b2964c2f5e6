#include "records/device_config_items.h"

#include "core/xml_fields.h"

namespace qav {

void Serialize(ImageSize& item, XmlElement element, uint32_t direction) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, item.m_name);
    SyncIntAttribute(element, u"qav:Width", kQavNamespaceUri, direction, item.m_width);
    SyncIntAttribute(element, u"qav:Height", kQavNamespaceUri, direction, item.m_height);
    SyncIntAttribute(element, u"qav:MaxVideoFrameRate", kQavNamespaceUri, direction,
                     item.m_maxVideoFrameRate);
}

void Serialize(InputPortConfig& item, XmlElement element, uint32_t direction) {
    SyncIntAttribute(element, u"qav:DefaultValue", kQavNamespaceUri, direction,
                     item.m_defaultValue);
    SyncIntAttribute(element, u"qav:DefaultVideoChannel", kQavNamespaceUri, direction,
                     item.m_defaultVideoChannel);
    SyncIntAttribute(element, u"qav:DefaultAudioChannel", kQavNamespaceUri, direction,
                     item.m_defaultAudioChannel);
}

void Serialize(OutputPortConfig& item, XmlElement element, uint32_t direction) {
    SyncIntAttribute(element, u"qav:DefaultValue", kQavNamespaceUri, direction,
                     item.m_defaultValue);
    SyncIntAttribute(element, u"qav:PulseTimeMS", kQavNamespaceUri, direction, item.m_pulseTimeMs);
}

void Serialize(PtzEngineConfig& item, XmlElement element, uint32_t direction) {
    SyncIntAttribute(element, u"qav:DeviceID", kQavNamespaceUri, direction, item.m_deviceId);
    SyncIntAttribute(element, u"qav:VideoChannel", kQavNamespaceUri, direction,
                     item.m_videoChannel);
    SyncIntAttribute(element, u"qav:Protocol", kQavNamespaceUri, direction, item.m_protocol);
}

void Serialize(DeviceControl& item, XmlElement element, uint32_t direction) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, item.m_name);
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kControlTypeTable, direction,
                      item.m_type);
    SyncTextAttribute(element, u"qav:DefaultValue", kQavNamespaceUri, direction,
                      item.m_defaultValue);
    // The type as just read decides, so a numeric control never picks up stray options.
    if (item.m_type == kControlTypeOptions) {
        SyncList(
            element.FindOrCreateChild(u"qav:Options", kQavNamespaceUri, direction != kSyncRead),
            u"qav:Option", kQavNamespaceUri, direction, item.m_options, SyncTextItem);
    }
}

void Serialize(WebInterface& item, XmlElement element, uint32_t direction) {
    if (direction != kSyncRead) {
        element.SetText(item.m_name);
    } else {
        element.GetText(item.m_name);
    }
    SyncEnumAttribute(element, u"qav:DeviceAccessLevel", kQavNamespaceUri, kDeviceAccessLevelTable,
                      direction, item.m_deviceAccessLevel);
}

void Serialize(DiagnosticChannel& item, XmlElement element, uint32_t direction) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, item.m_name);
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kDiagnosticTypeTable, direction,
                      item.m_type);
    SyncEnumAttribute(element, u"qav:Encoding", kQavNamespaceUri, kEncodingTable, direction,
                      item.m_encoding);
    SyncIntAttribute(element, u"qav:NumValuesPerSample", kQavNamespaceUri, direction,
                     item.m_numValuesPerSample);
    SyncIntAttribute(element, u"qav:SampleRate", kQavNamespaceUri, direction, item.m_sampleRate);
}

}  // namespace qav
